// A section of the demo program: a name that orders it and the code to run.
#ifndef EXAMPLES_DEMO_H_
#define EXAMPLES_DEMO_H_

namespace demo {

struct Section {
  const char* name;  // sections run in ascending order of their names
  void (*run)();
};

// Registers a section; used as the initialiser of a file-scope variable.
bool Register(Section section);

}  // namespace demo

#endif  // EXAMPLES_DEMO_H_
