// Small helpers shared by the tests: a temporary folder and IDX files made in it, a child
// process with a file-size limit, and the peak memory an operation adds.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

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

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void AppendBigEndian32(Bytes& bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
}

// An IDX image file header followed by the given pixel bytes.
inline Bytes ImageFileBytes(uint32_t count, uint32_t rows, uint32_t columns, const Bytes& pixels) {
  Bytes bytes;
  AppendBigEndian32(bytes, 2051);
  AppendBigEndian32(bytes, count);
  AppendBigEndian32(bytes, rows);
  AppendBigEndian32(bytes, columns);
  bytes.insert(bytes.end(), pixels.begin(), pixels.end());
  return bytes;
}

inline Bytes LabelFileBytes(const Bytes& labels) {
  Bytes bytes;
  AppendBigEndian32(bytes, 2049);
  AppendBigEndian32(bytes, static_cast<uint32_t>(labels.size()));
  bytes.insert(bytes.end(), labels.begin(), labels.end());
  return bytes;
}

// What a child process left behind: its exit code (-1 when a signal ended it) and everything
// it wrote to standard output.
struct ChildResult {
  int exitCode = -1;
  std::string output;
};

// Runs `body` in a forked child whose standard output is captured, then the child exits with
// the code `body` returns. With a fileSizeLimit, no file may grow beyond that many bytes: a
// write past it fails with EFBIG, as on a full disk (SIGXFSZ is ignored; both carry over an
// exec). The limit does not apply to the pipe that carries the output.
inline ChildResult RunInChild(const std::function<int()>& body, rlim_t fileSizeLimit = RLIM_INFINITY) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[1]);
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
  close(pipeEnds[1]);
  ChildResult result;
  char buffer[4096];
  for (ssize_t count; (count = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    result.output.append(buffer, static_cast<size_t>(count));
  }
  close(pipeEnds[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return result;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

// Reads a "Vm...:   N kB" line of /proc/self/status, in bytes; -1 if it cannot.
inline long long ProcessMemoryField(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string name;
  long long kilobytes = 0;
  std::string unit;
  while (status >> name) {
    if (name == field + ":" && status >> kilobytes >> unit) return kilobytes * 1024;
    std::getline(status, unit);
  }
  return -1;
}

// How far the process's peak resident memory rose above its resident memory while `body`
// ran, in bytes; -1 where Linux cannot reset the peak (then the caller should skip).
inline long long PeakMemoryGrowth(const std::function<void()>& body) {
  {
    std::ofstream clearReferences("/proc/self/clear_refs");
    clearReferences << "5";  // resets the peak (VmHWM) to the present resident size
    if (!clearReferences.flush()) return -1;
  }
  const long long before = ProcessMemoryField("VmRSS");
  body();
  const long long peak = ProcessMemoryField("VmHWM");
  if (before < 0 || peak < 0) return -1;
  return peak - before;
}
