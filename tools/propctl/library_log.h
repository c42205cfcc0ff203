// Keeping the libraries' log lines off the terminal, or showing them all.
#ifndef TOOLS_PROPCTL_LIBRARY_LOG_H_
#define TOOLS_PROPCTL_LIBRARY_LOG_H_

// Sets the platform log's threshold below every level when `shown`, else
// above every level, so that the lines the libraries log (to standard error
// with the stand-in log) are all shown or all dropped. The threshold
// function is looked up at run time: a platform log without it is left as
// it is, and the call returns false.
bool ShowLibraryLog(bool shown);

#endif  // TOOLS_PROPCTL_LIBRARY_LOG_H_
