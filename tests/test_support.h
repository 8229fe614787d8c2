// The helpers the tests share: a temporary folder and the files made in it (IDX data, network
// records), random samples, comparisons of networks, a child process with a file-size limit,
// the real binary run in a folder, streams and named pipes that cannot seek, and the peak
// memory an operation adds. Every test that includes it gets gtest with it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <tuple>

#include "mnist/image_set.h"
#include "network/neural_network.h"

using Bytes = std::vector<unsigned char>;

// A fresh folder under the system's temporary directory, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mnist-mlp-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  std::string Path(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Root() const { return path_; }
  size_t EntryCount() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path_), {}));
  }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// An IDX file: the header's words (32 bits, big-endian), then the data bytes.
inline Bytes IdxFileBytes(std::initializer_list<uint32_t> header, const Bytes& data) {
  Bytes bytes;
  for (uint32_t word : header)
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(word >> shift));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}
inline Bytes ImageFileBytes(uint32_t count, uint32_t rows, uint32_t columns, const Bytes& pixels) {
  return IdxFileBytes({2051u, count, rows, columns}, pixels);
}
inline Bytes LabelFileBytes(const Bytes& labels) {
  return IdxFileBytes({2049u, static_cast<uint32_t>(labels.size())}, labels);
}

// The start of a PNG file: the signature and a header chunk (its checksum left zero, which
// nothing here checks) of a picture of this size, depth and colour type.
inline Bytes PngHeader(uint32_t width, uint32_t height, unsigned char depth, unsigned char colourType) {
  Bytes bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (uint32_t word : {width, height})
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(word >> shift));
  bytes.insert(bytes.end(), {depth, colourType, 0, 0, 0, 0, 0, 0, 0});
  return bytes;
}

// A callback for stb_image_write: appends the encoded bytes to the Bytes at `context`.
inline void AppendBytes(void* context, void* data, int size) {
  auto* bytes = static_cast<Bytes*>(context);
  bytes->insert(bytes->end(), static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + size);
}

// The MNIST files in the folder: `trainingCount` and `testCount` images of the given sides (no
// files for a count of 0), image i of digit i % 10 drawn as a bright band of rows whose place
// depends on the digit, over faint noise: a set a network learns in a few epochs.
inline void WriteDataSets(const std::filesystem::path& folder, uint32_t trainingCount = 30,
                          uint32_t testCount = 20, uint32_t trainingSide = 28, uint32_t testSide = 28) {
  for (const auto& [prefix, count, side, first] : {std::tuple{"train", trainingCount, trainingSide, 0u},
                                                   std::tuple{"t10k", testCount, testSide, 1000u}}) {
    if (count == 0) continue;
    Bytes pixels, labels;
    for (uint32_t i = first; i < first + count; ++i) {
      labels.push_back(static_cast<unsigned char>(i % 10));
      for (uint32_t p = 0; p < side * side; ++p) {
        const bool ink = (p / side) * 10 / side == i % 10;
        pixels.push_back(static_cast<unsigned char>((ink ? 180 : 0) + (i * 7919 + p * 104729) % 61));
      }
    }
    WriteFile(folder / (std::string(prefix) + "-images.idx3-ubyte"),
              ImageFileBytes(count, side, side, pixels));
    WriteFile(folder / (std::string(prefix) + "-labels.idx1-ubyte"), LabelFileBytes(labels));
  }
}

// count samples of random pixels in [0, 1) with a random one-hot target of digitCount.
inline ImageSet RandomSamples(size_t count, size_t pixelCount, size_t digitCount, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> pixel(0.0, 1.0);
  ImageSet samples;
  for (size_t i = 0; i < count; ++i) {
    ImageSample sample{Vector(pixelCount), Vector(digitCount, 0.0)};
    for (double& value : sample.pixels) value = pixel(engine);
    sample.target[engine() % digitCount] = 1.0;
    samples.push_back(sample);
  }
  return samples;
}

// The bytes NeuralNetwork::Save writes for the network.
inline std::string RecordOf(const NeuralNetwork& network) {
  std::ostringstream output;
  std::string message;
  network.Save(output, &message);
  return output.str();
}

// An ensemble file: 42 42, the member count (32 bits, little-endian), then the members' records.
inline Bytes EnsembleBytes(uint32_t memberCount, const std::string& records) {
  Bytes bytes{0x42, 0x42};
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<unsigned char>(memberCount >> shift));
  bytes.insert(bytes.end(), records.begin(), records.end());
  return bytes;
}

// Saves networks of these layer sizes (rate 0.5, decay 1) under these names in the folder.
inline void SaveNetworks(const TemporaryFolder& folder,
                         const std::vector<std::pair<std::string, std::vector<uint32_t>>>& networks) {
  for (const auto& [name, sizes] : networks)
    NeuralNetwork::WithLayers(sizes, 0.5, 1.0).SaveFile(folder.Path(name), nullptr);
}

// The ensemble file --combine writes for these network files of the folder.
inline Bytes EnsembleOfFiles(const TemporaryFolder& folder, const std::vector<std::string>& names) {
  std::string records;
  for (const std::string& name : names)
    for (unsigned char byte : ReadFile(folder.Path(name))) records += static_cast<char>(byte);
  return EnsembleBytes(static_cast<uint32_t>(names.size()), records);
}

// Whether two networks hold the same header fields and bit-identical weights and biases.
inline bool SameParameters(const NeuralNetwork& a, const NeuralNetwork& b) {
  return RecordOf(a) == RecordOf(b);
}

// Largest |a - b| / max(|a|, |b|) over every weight and bias of two networks of one shape;
// infinite where either value is not a number, so that a NaN can never hide a difference.
inline double LargestRelativeDifference(const NeuralNetwork& a, const NeuralNetwork& b) {
  double largest = 0.0;
  auto compare = [&](double x, double y) {
    const double difference = std::fabs(x - y) / std::max({std::fabs(x), std::fabs(y), 1e-300});
    largest = std::isnan(difference) ? INFINITY : std::max(largest, difference);
  };
  for (size_t k = 0; k < a.weights.size(); ++k) {
    for (size_t r = 0; r < a.weights[k].rowCount; ++r) {
      for (size_t c = 0; c < a.weights[k].columnCount; ++c)
        compare(a.weights[k].data[r][c], b.weights[k].data[r][c]);
      compare(a.biases[k][r], b.biases[k][r]);
    }
  }
  return largest;
}

// What a child process left behind: its exit code (-1 when a signal ended it) and what it
// wrote to standard output and standard error. RunProgram moves the program's own lines on
// standard error, those that begin with "mnist-mlp: ", to `diagnostics`.
struct ChildResult {
  int exitCode = -1;
  std::string output;
  std::string errors;
  std::string diagnostics;
};

// Runs `body` in a forked child whose standard output and error are captured; the child exits
// with the code `body` returns. With a fileSizeLimit, no file may grow beyond that many bytes:
// a write past it fails with EFBIG, as on a full disk (SIGXFSZ is ignored; both carry over an
// exec). The limit does not apply to the pipes.
inline ChildResult RunInChild(const std::function<int()>& body, rlim_t fileSizeLimit = RLIM_INFINITY) {
  int output[2], errors[2];
  if (pipe(output) != 0 || pipe(errors) != 0) return {};
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(output[1], STDOUT_FILENO);
    dup2(errors[1], STDERR_FILENO);
    for (int fd : {output[0], output[1], errors[0], errors[1]}) close(fd);
    if (fileSizeLimit != RLIM_INFINITY) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
    }
    const int code = body();
    std::cout.flush();
    std::fflush(nullptr);
    _exit(code);
  }
  for (int fd : {output[1], errors[1]}) close(fd);
  ChildResult result;
  // Standard error stays small in every test, so reading it second cannot block the child.
  for (auto [fd, text] : {std::pair{output[0], &result.output}, std::pair{errors[0], &result.errors}}) {
    char buffer[4096];
    for (ssize_t count; (count = read(fd, buffer, sizeof buffer)) > 0;) text->append(buffer, size_t(count));
    close(fd);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return result;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

using Environment = std::vector<std::pair<std::string, std::string>>;

// Removes every MNIST_MLP_* variable: a test child starts without any setting (the programs
// refuse unknown ones too).
inline void ClearSettings() {
  std::vector<std::string> names;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.starts_with("MNIST_MLP_")) names.push_back(text.substr(0, text.find('=')));
  }
  for (const std::string& name : names) unsetenv(name.c_str());
}

// In a child process: replaces it (keeping its PID) by the executable at `path`, called
// `programName`, run in the folder with the given arguments, after clearing the MNIST_MLP_*
// settings and setting `environment`. Returns 127 only when that fails.
inline int ExecExecutable(const std::string& path, const TemporaryFolder& folder,
                          std::vector<std::string> arguments, const Environment& environment,
                          const std::string& programName) {
  arguments.insert(arguments.begin(), programName);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ClearSettings();
  for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
  if (chdir(folder.Root().c_str()) == 0) execv(path.c_str(), argv.data());
  return 127;
}

#ifdef MNIST_MLP_BINARY
// The real mnist-mlp run in a child (see ExecExecutable and RunInChild).
inline ChildResult RunProgram(const TemporaryFolder& folder, const std::vector<std::string>& arguments,
                              const Environment& environment = {}, rlim_t fileSizeLimit = RLIM_INFINITY,
                              const std::string& programName = "mnist-mlp") {
  ChildResult result = RunInChild(
      [&] { return ExecExecutable(MNIST_MLP_BINARY, folder, arguments, environment, programName); },
      fileSizeLimit);
  std::istringstream lines(result.errors);
  result.errors.clear();
  for (std::string line; std::getline(lines, line);)
    (line.starts_with("mnist-mlp: ") ? result.diagnostics : result.errors) += line + "\n";
  return result;
}
#endif

#ifdef MNIST_LAB_BINARY
inline ChildResult RunLab(const TemporaryFolder& folder, const std::vector<std::string>& arguments,
                          const Environment& environment = {}) {
  return RunInChild(
      [&] { return ExecExecutable(MNIST_LAB_BINARY, folder, arguments, environment, "mnist-lab"); });
}
#endif

// The output with its elapsed seconds and epoch accuracies made T and A, once each is seen to
// be a number.
inline std::string Normalised(const std::string& output) {
  std::istringstream lines(output);
  std::string result;
  for (std::string line; std::getline(lines, line); result += line + "\n") {
    for (const auto& [start, marker, end, mark] :
         {std::tuple{"Epoch ", " accuracy: ", ".", "A"}, std::tuple{"", " took ", " seconds.", "T"}}) {
      const size_t from = line.find(marker);
      if (!line.starts_with(start) || from == std::string::npos || !line.ends_with(end)) continue;
      const size_t begin = from + std::string(marker).size();
      const std::string number = line.substr(begin, line.size() - std::string(end).size() - begin);
      if (!number.empty() && std::isdigit(static_cast<unsigned char>(number[0])) &&
          number.find_first_not_of("0123456789.e+-") == std::string::npos)
        line = line.substr(0, begin) + mark + end;
    }
  }
  return result;
}

// An input stream over bytes that, like a pipe, can neither seek nor tell its length.
class UnseekableStream : private std::streambuf, public std::istream {
 public:
  explicit UnseekableStream(std::string bytes) : std::istream(this), bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

// Makes a named pipe at `path` that a background `cat` fills with the file `source` once a
// reader opens it (and that ends when the reader stops early). False when it cannot.
inline bool FeedPipe(const std::string& path, const std::string& source) {
  return mkfifo(path.c_str(), 0600) == 0 &&
         std::system(("cat '" + source + "' > '" + path + "' &").c_str()) == 0;
}

// How far the process's peak resident memory rose above its resident memory while `body`
// ran, in bytes; -1 where Linux cannot reset the peak (then the caller should skip). The body
// runs either way.
inline long long PeakMemoryGrowth(const std::function<void()>& body) {
  malloc_trim(0);  // memory freed earlier would hide growth: an allocation could reuse it unseen
  // Resets the peak (VmHWM) to the present resident size.
  const bool reset = static_cast<bool>((std::ofstream("/proc/self/clear_refs") << "5").flush());
  // A "Vm...:   N kB" line of /proc/self/status, in bytes; -1 if it cannot be read.
  const auto field = [](const std::string& wanted) {
    std::ifstream status("/proc/self/status");
    long long kilobytes = 0;
    for (std::string name, rest; status >> name; std::getline(status, rest))
      if (name == wanted + ":" && status >> kilobytes) return kilobytes * 1024;
    return -1LL;
  };
  const long long before = field("VmRSS");
  body();
  const long long peak = field("VmHWM");
  return !reset || before < 0 || peak < 0 ? -1 : peak - before;
}
