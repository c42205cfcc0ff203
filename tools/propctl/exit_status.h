// The exit statuses of propctl, as its help text and README list them.
#ifndef TOOLS_PROPCTL_EXIT_STATUS_H_
#define TOOLS_PROPCTL_EXIT_STATUS_H_

enum ExitStatus : int {
  kExitOk = 0,
  kExitAbsent = 1,   // get: the key has no value and no default was given
  kExitTimedOut = 1,  // wait: the value did not come in time
  kExitUsage = 2,    // the command line was not understood
  kExitRefused = 3,  // set, unset: the library refused the key or the value
  kExitFile = 4,     // the file could not be read (get, list), written (set,
                     // unset) or watched (watch), or standard output written
};

#endif  // TOOLS_PROPCTL_EXIT_STATUS_H_
