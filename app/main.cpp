// The entry point: prints the usage text or walks the arguments, running one command per
// option. An option is chosen by its first letter after at most two dashes ('t', 'v', 'c');
// every other argument is skipped silently. The exit status is 1 when any command failed or
// standard output could not be written, or when a setting is invalid (then no command runs).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/commands.h"
#include "network/random.h"
#include "settings/settings.h"

extern char** environ;

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

// --help, -h and --version select no command (their letters are not t, v or c), and standard
// output stays as it always was; a person typing them learns on standard error where help is.
bool AsksForHelp(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h" || argument == "--version") return true;
  }
  return false;
}

void PrintHelpHint(const char* programName) {
  std::cerr << "mnist-mlp: run " << programName
            << " with no arguments for the usage text; the README documents the commands and the "
               "MNIST_MLP_* settings."
            << std::endl;
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
    std::cerr << "mnist-mlp: could not write to standard output." << std::endl;
    return 1;
  }
  return allSucceeded ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  HoldClosedStandardStreams();
  const char* programName = argc > 0 ? argv[0] : "";
  if (AsksForHelp(argc, argv)) PrintHelpHint(programName);
  if (argc < 3) {
    PrintUsage(programName);
    return ExitStatus(true);
  }
  // A mistyped setting would otherwise run, perhaps for hours, with a default in its place.
  std::string problem;
  const Settings settings = ReadSettings(environ, &problem);
  if (!problem.empty()) {
    std::cerr << "mnist-mlp: " << problem << std::endl;
    return 1;
  }
  if (settings.seed) ResetRandomSeeds(*settings.seed);

  bool allSucceeded = true;
  int i = 1;
  try {
    while (i < argc) {
      // An option given last has no value; its command gets an empty name and says so.
      const std::string value = i + 1 < argc ? argv[i + 1] : "";
      switch (OptionLetter(argv[i])) {
        case 't':
          allSucceeded = TrainCommand(value, settings) && allSucceeded;
          i += 2;
          break;
        case 'v':
          allSucceeded = VerifyCommand(value, settings) && allSucceeded;
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
