#pragma once
// The work model of the progress window: a list of areas (phases), each with
// a text and a weight, the current area and the per-mille position inside
// it. The bar shows the weighted overall progress.
#include <cstdint>
#include <string>
#include <vector>

namespace corvan::crash {

class ProgressAreas {
 public:
  static constexpr int kFull = 1000;

  // Appends an area starting at the current total. An empty text takes the
  // text of the area before it.
  void Add(std::string text, std::uint64_t weight);
  // Removes all areas; current area 0, total 0.
  void Clear();

  int Position() const { return position_; }
  // Stores the per-mille position (clamped to 0..1000).
  void SetPosition(int perMille);

  int Current() const { return current_; }
  // Moves to area n. Nothing happens (false) when n is the current area,
  // negative or beyond the number of areas; n equal to the number of areas
  // means all work is done: the last area at position 1000. Otherwise the
  // position becomes 0.
  bool SetCurrent(int n);

  std::size_t Count() const { return areas_.size(); }
  std::uint64_t TotalWeight() const { return total_; }
  // Text of the current area (empty without areas).
  std::string CurrentText() const;
  // Texts from the current area to the last (the window measures them all).
  std::vector<std::string> RemainingTexts() const;

  // Overall progress in per mille: ((start + weight * position / 1000) *
  // 1000) / total, each division truncating; 0 without areas or weight.
  int BarPosition() const;

 private:
  struct Area {
    std::uint64_t start;
    std::uint64_t weight;
    std::string text;
  };
  std::vector<Area> areas_;
  std::uint64_t total_ = 0;
  int current_ = 0;
  int position_ = 0;
};

}  // namespace corvan::crash
