#include "net/socket/NetLogger.h"

namespace corvan::net {

TNetLogger::~TNetLogger() {
  std::lock_guard<std::mutex> guard(lock_);
  destroying_ = true;
  file_.reset();
}

TLogOptions TNetLogger::LogOptions() const {
  std::lock_guard<std::mutex> guard(lock_);
  return options_;
}

void TNetLogger::SetLogOptions(TLogOptions options) {
  std::lock_guard<std::mutex> guard(lock_);
  options_ = options;
}

std::string TNetLogger::LogFileName() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fileName_;
}

void TNetLogger::SetLogFileName(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  if (name == fileName_) return;
  fileName_ = name;
  file_.reset();
}

TLogFileOption TNetLogger::LogFileOption() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fileOption_;
}

void TNetLogger::SetLogFileOption(TLogFileOption option) {
  std::lock_guard<std::mutex> guard(lock_);
  fileOption_ = option;
}

void TNetLogger::SetOnNetLogEvent(TLogEvent handler) {
  std::lock_guard<std::mutex> guard(lock_);
  onNetLogEvent_ = std::move(handler);
}

bool TNetLogger::Wants(TLogOption category) const {
  std::lock_guard<std::mutex> guard(lock_);
  return options_.Contains(category);
}

void TNetLogger::DoDebugLog(const void* sender, TLogOption category, const std::string& text) {
  // The user's event runs outside the lock: a handler that asks the logger
  // anything (or changes it) would otherwise wait on itself for good.
  TLogEvent event;
  std::string line;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (destroying_) return;
    line = options_.Contains(loAddStamp) ? LogTimeStamp() + " " + text : text;
    if (options_.Contains(loDestEvent)) event = onNetLogEvent_;
  }
  if (event) event(sender, category, line);
  std::lock_guard<std::mutex> guard(lock_);
  if (destroying_) return;
  if (options_.Contains(loDestOutDebug)) WriteDebugOutput(line);
  if (options_.Contains(loDestFile)) {
    if (!file_) {
      if (fileName_.empty()) throw ELoggerException("File name empty");
      file_ = TLogFile::Open(fileName_, fileOption_ == lfoOverwrite);
    }
    file_->Write(line + "\r\n");
  }
}

}  // namespace corvan::net
