// camsim: a camera on the P2P library's listen side that speaks the device
// link. It listens under each camera's device ID through the rendezvous
// servers of the init string, takes the sessions clients open, checks the
// password, answers every command of the catalogue (refusing bad payloads
// with the error replies a device gives), streams live video per channel and
// audio from files at their frame rate, serves an SD-card record list per day
// and plays a recording from a time with speed steps and stop, takes
// talkback audio, keeps its pan-tilt position and sends events.
//
// The library runs in-process (tests) or behind tools/camsim/main.cpp.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/camsim/media_source.h"

namespace camsim {

struct Camera {
  std::string did;
  std::string password;
};

struct Config {
  std::string init;             // the P2P init string (rdvsim prints it)
  std::vector<Camera> cameras;  // one listen each
  std::vector<std::string> video;  // channel i streams video[i]
  std::string codec;               // "h264" or "hevc"; empty: from the file name
  double fps = 0;  // 0: the rate each stream states, else 25
  std::string audio;     // empty: no audio
  std::string talk_out;  // talkback payloads appended here (empty: only counted)
  int records_per_day = 24;  // one recording at the start of each of these hours
  int record_sec = 600;
  int event_every_ms = 0;  // periodic motion events (0: none)
  int alive_sec = 6;
  int login_mode = 1;
  std::string features;  // the "feature" object's JSON; empty: one made from the channels
  int max_sessions = 0;  // per camera; 0: no end
  bool p2p = true;       // false: no P2P listen (the cameras are reached only over links handed to Adopt)
};

class Link;

// Lines camsim reports ("camsim ..."); called from any thread.
using Printer = std::function<void(const std::string&)>;

class Simulator {
 public:
  explicit Simulator(Config config, Printer printer);
  ~Simulator();
  // Loads the media and initialises the P2P library; false with why.
  bool Start(std::string* why);
  // True once every camera's listen is logged in at the servers.
  bool Ready() const;
  // Ends every listen and session and de-initialises the library.
  void Stop();
  // True once every camera served its max_sessions.
  bool Finished() const;
  // Serves the device link of camera did over a link made elsewhere (WebRTC); false for an unknown camera
  // or a stopped simulator. how is added to the "camsim session" line.
  bool Adopt(const std::string& did, std::unique_ptr<Link> link, const std::string& how);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace camsim
