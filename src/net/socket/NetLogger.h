#pragma once
// TNetLogger: diagnostic lines of sockets and HTTP clients, filtered by
// category and written to an event handler, the debugger output and/or a
// text file, optionally stamped "hh:nn:ss:zzz ". Thread-safe: one lock
// serialises setting changes and each line to the file and the debugger
// output; the event handler is called outside it and may use the logger. Portable; the file and
// the debugger output come from a platform half.
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace corvan::net {

enum TLogOption {
  loDestEvent,
  loDestFile,
  loDestOutDebug,
  loAddStamp,
  loWsockErr,
  loWsockInfo,
  loWsockDump,
  loSslErr,
  loSslInfo,
  loSslDump,
  loProtSpecErr,
  loProtSpecInfo,
  loProtSpecDump
};

class TLogOptions {
 public:
  TLogOptions() = default;
  TLogOptions(std::initializer_list<TLogOption> options) {
    for (auto o : options) bits_ |= 1u << o;
  }
  bool Contains(TLogOption o) const { return (bits_ & (1u << o)) != 0; }

 private:
  unsigned bits_ = 0;
};

enum TLogFileOption { lfoAppend, lfoOverwrite };

class ELoggerException : public std::runtime_error {
 public:
  explicit ELoggerException(const std::string& message) : std::runtime_error(message) {}
};

// An open log file (platform half): opened for writing with other writers
// excluded; raises ELoggerException with the system's message on failure.
class TLogFile {
 public:
  virtual ~TLogFile() = default;
  virtual void Write(const std::string& bytes) = 0;
  static std::unique_ptr<TLogFile> Open(const std::string& name, bool truncate);
};

// The debugger output (OutputDebugStringA on Windows, stderr elsewhere).
void WriteDebugOutput(const std::string& line);

// Local time of day as "hh:nn:ss:zzz" (platform half).
std::string LogTimeStamp();

class TNetLogger {
 public:
  using TLogEvent =
      std::function<void(const void* sender, TLogOption category, const std::string& line)>;

  TNetLogger() = default;
  ~TNetLogger();
  TNetLogger(const TNetLogger&) = delete;
  TNetLogger& operator=(const TNetLogger&) = delete;

  TLogOptions LogOptions() const;
  void SetLogOptions(TLogOptions options);
  std::string LogFileName() const;
  // A different name closes the open file; the next write opens the new one.
  void SetLogFileName(const std::string& name);
  TLogFileOption LogFileOption() const;
  void SetLogFileOption(TLogFileOption option);
  void SetOnNetLogEvent(TLogEvent handler);

  // Producers ask first, and build their text only when this is true.
  bool Wants(TLogOption category) const;
  // Writes one line to every destination in LogOptions. A file that cannot
  // be opened raises ELoggerException ("File name empty", ...).
  void DoDebugLog(const void* sender, TLogOption category, const std::string& text);

 private:
  mutable std::mutex lock_;
  TLogOptions options_;
  std::string fileName_;
  TLogFileOption fileOption_ = lfoAppend;
  TLogEvent onNetLogEvent_;
  std::unique_ptr<TLogFile> file_;
  bool destroying_ = false;
};

}  // namespace corvan::net
