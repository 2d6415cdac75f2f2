// The media side of the headless demo, in a unit of its own (the media and skin headers share anchor names).
#include "app/demo/demo_driver.h"
#include "media/video/video_render.h"

uint64_t DemoPaneRepaints() { return VideoPresenter::Instance().GetStats().repaints; }
