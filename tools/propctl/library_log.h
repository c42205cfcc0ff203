// Keeping the libraries' log lines off the terminal.
#ifndef TOOLS_PROPCTL_LIBRARY_LOG_H_
#define TOOLS_PROPCTL_LIBRARY_LOG_H_

// Raises the platform log's threshold above every level, so that the lines
// the libraries log (to standard error with the stand-in log) are dropped.
// The threshold function is looked up at run time: a platform log without
// it is left as it is, and the call returns false.
bool SilenceLibraryLog();

#endif  // TOOLS_PROPCTL_LIBRARY_LOG_H_
