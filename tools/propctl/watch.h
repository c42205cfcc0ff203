// watch [KEY...]: follows the property file through the library's watcher.
//
// Registers an observer for `path` with the process-wide watcher, takes a
// first reading, announces "propctl: watching PATH" on standard error, and
// from then on, each time the watcher reports a change, reads the file
// again and prints DescribeChanges against the previous reading, flushing
// standard output after each batch. Changes that land between two readings
// are merged into one, so a value set and set back at once may not show.
// A missing file reads as one without pairs.
//
// When the path cannot be watched yet (the file does not exist), it says
// "propctl: waiting for PATH" and tries to register again every 200 ms
// until the file appears; its pairs then show as new.
//
// SIGINT or SIGTERM ends the watch with kExitOk, and so does an error on
// standard output (left in its error flag for the caller); kExitFile when the path
// exists but cannot be watched.
#ifndef TOOLS_PROPCTL_WATCH_H_
#define TOOLS_PROPCTL_WATCH_H_

#include <string>
#include <vector>

int RunWatch(const std::string& path, const std::vector<std::string>& keys);

#endif  // TOOLS_PROPCTL_WATCH_H_
