#include "crash/ui/ProgressAreas.h"

#include <algorithm>

namespace corvan::crash {

void ProgressAreas::Add(std::string text, std::uint64_t weight) {
  if (text.empty() && !areas_.empty()) text = areas_.back().text;
  areas_.push_back({total_, weight, std::move(text)});
  total_ += weight;
}

void ProgressAreas::Clear() {
  areas_.clear();
  total_ = 0;
  current_ = 0;
}

void ProgressAreas::SetPosition(int perMille) { position_ = std::clamp(perMille, 0, kFull); }

bool ProgressAreas::SetCurrent(int n) {
  const int count = static_cast<int>(areas_.size());
  if (n == current_ || n < 0 || n > count) return false;
  if (n == count) {
    current_ = count - 1;
    position_ = kFull;
  } else {
    current_ = n;
    position_ = 0;
  }
  return true;
}

std::string ProgressAreas::CurrentText() const {
  if (current_ < 0 || current_ >= static_cast<int>(areas_.size())) return {};
  return areas_[static_cast<std::size_t>(current_)].text;
}

std::vector<std::string> ProgressAreas::RemainingTexts() const {
  std::vector<std::string> texts;
  for (std::size_t i = static_cast<std::size_t>(std::max(current_, 0)); i < areas_.size(); ++i) {
    texts.push_back(areas_[i].text);
  }
  return texts;
}

int ProgressAreas::BarPosition() const {
  if (total_ == 0 || current_ < 0 || current_ >= static_cast<int>(areas_.size())) return 0;
  const Area& area = areas_[static_cast<std::size_t>(current_)];
  const auto p = static_cast<std::uint64_t>(position_);
  // weight * p / 1000 without overflow: p is at most 1000.
  const std::uint64_t done = area.start + area.weight / kFull * p + area.weight % kFull * p / kFull;
  // done * 1000 / total, exact while that fits; the result is at most 1000.
  if (done <= UINT64_MAX / kFull) return static_cast<int>(done * kFull / total_);
  return static_cast<int>(std::min<std::uint64_t>(done / (total_ / kFull), kFull));
}

}  // namespace corvan::crash
