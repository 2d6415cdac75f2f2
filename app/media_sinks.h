// The media sinks' link to the windows: decoded pictures and sink events reach the panes.
#pragma once

// Installs the sinks' window poster (events become window messages, dropped for windows that are gone) and
// their operations table. Once, at start.
void InstallMediaSinks();
