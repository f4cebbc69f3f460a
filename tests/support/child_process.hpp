// This test program started again as a child that runs one scenario and, usually, crashes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zeplog::test {

// A child started by startChild: its process, the write end of its standard input (the
// child may read until the parent closes it), and, once finished, its wait status and what
// it wrote to stderr.
struct ChildRun {
  pid_t pid = -1;
  int inputFd = -1;
  int status = 0;
  std::string console;
  std::string consolePath;  // its stderr, kept in a file
};

// Starts this program again (exec, so the child starts clean) running only the test named by
// childTest ("Suite.Name"), with `variables` ("NAME=value") added to the environment in place
// of any inherited variable starting with variablePrefix; its stderr goes to consolePath.
// gtest does not catch the child's exceptions, so an uncaught one reaches the library.
ChildRun startChild(const std::string& childTest, const std::vector<std::string>& variables,
                    const std::string& variablePrefix, const std::string& consolePath);
// Closes the child's input, waits for it and reads its console.
void finishChild(ChildRun& run);

}  // namespace zeplog::test
