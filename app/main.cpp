// The entry point: prints the usage text or walks the arguments, running one command per
// option. An option is chosen by its first letter after at most two dashes ('t', 'v', 'c');
// every other argument is skipped silently. The exit status is 1 when any command failed or
// standard output could not be written.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/commands.h"

namespace {

void PrintUsage(const char* programName) {
  std::cout << "Usage: " << programName << " [options]" << std::endl;
  std::cout << "  --train  [output neural network filename]\t\t\t"
            << "Trains a single neural network based on the MNIST dataset." << std::endl;
  std::cout << "  --combine [output ensemble filename] <network filenames>\t"
            << "Combines a set of network files into a single ensemble file." << std::endl;
  std::cout << "  --verify [input ensemble filename] \t\t\t\tTests the accuracy of a neural network "
               "ensemble against the "
            << "MNIST test set." << std::endl;
}

// The letter that selects a command: the first character after at most two dashes.
char OptionLetter(const char* argument) {
  if (*argument == '-') ++argument;
  if (*argument == '-') ++argument;
  return *argument;
}

// A closed standard stream's descriptor would go to the next file the commands open, and
// standard output would be written into it. A read-only /dev/null holds the place instead, so
// that writing to it fails as writing to a closed stream does.
void HoldClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDONLY);
  }
}

// Output that did not reach standard output is a failure: a log of it would be incomplete.
int ExitStatus(bool allSucceeded) {
  if (!std::cout.flush()) {
    std::cerr << "Could not write to standard output." << std::endl;
    return 1;
  }
  return allSucceeded ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  HoldClosedStandardStreams();
  if (argc < 3) {
    PrintUsage(argc > 0 ? argv[0] : "");
    return ExitStatus(true);
  }

  bool allSucceeded = true;
  int i = 1;
  try {
    while (i < argc) {
      // An option given last has no value; its command gets an empty name and says so.
      const std::string value = i + 1 < argc ? argv[i + 1] : "";
      switch (OptionLetter(argv[i])) {
        case 't':
          allSucceeded = TrainCommand(value) && allSucceeded;
          i += 2;
          break;
        case 'v':
          allSucceeded = VerifyCommand(value) && allSucceeded;
          i += 2;
          break;
        case 'c': {
          const std::vector<std::string> networkFileNames(argv + std::min(i + 2, argc), argv + argc);
          allSucceeded = CombineCommand(value, networkFileNames) && allSucceeded;
          i = argc;
          break;
        }
        default:
          ++i;
      }
    }
  } catch (const std::exception& error) {
    // A failed allocation or a broken invariant: stop here, but say so instead of aborting.
    std::cout << "Stopped by an unexpected error: " << error.what() << std::endl;
    return 1;
  }
  return ExitStatus(allSucceeded);
}
