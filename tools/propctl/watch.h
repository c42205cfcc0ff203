// watch and wait: the property file followed through PropertyWatch.
//
// watch [KEY...] announces "propctl: watching PATH" on standard error once
// the watch is in place (after "propctl: waiting for PATH" when the file
// does not exist then), then prints one line per change of a watched key
// (every key when none is named), flushing standard output after each:
// "key=value" for a new value, "-key" when the key is gone. Changes that
// land close together may be merged, so a value set and set back at once
// may not show. A missing file reads as one without pairs: when it
// appears, its pairs show as new. SIGINT or SIGTERM ends the watch with
// kExitOk. The first write to standard output that fails (a reader that
// went away included: SIGPIPE is ignored) ends it with kExitFile, saying
// why on standard error (stdout's error flag is cleared, so that the caller
// tells it no second time); so does a watch that cannot start.
//
// wait KEY VALUE [--timeout SECONDS] ends with kExitOk once KEY holds VALUE
// (at once if it already does), kExitTimedOut when SECONDS (a decimal
// number) passed first; without --timeout it waits for good.
#ifndef TOOLS_PROPCTL_WATCH_H_
#define TOOLS_PROPCTL_WATCH_H_

struct CommandLine;

int RunWatch(const CommandLine& line);
int RunWait(const CommandLine& line);

#endif  // TOOLS_PROPCTL_WATCH_H_
