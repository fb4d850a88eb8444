#include "crash/ui/ExceptionBoxLayout.h"

#include <algorithm>

namespace corvan::crash {
namespace {

constexpr int kTextWidthLimit = 664;  // the message wraps at this width at most
constexpr int kDetailsHeight = 474;
constexpr int kBigPictureHeight = 26;

bool Shown(const BoxLayoutInput& in, int button) { return in.widths[button] > 0; }

std::uint32_t Channel(std::uint32_t colour, int shift) { return (colour >> shift) & 0xFF; }

// Millimetres of a printable extent: what the driver says, else what its
// resolution gives, else a sheet of A4.
int Millimetres(int size, int pixels, int pixelsPerInch, int a4) {
  if (size > 0) return size;
  if (pixelsPerInch > 0 && pixels > 0) return std::max(1, pixels * 254 / (pixelsPerInch * 10));
  return a4;
}

int Scale(int pixels, int factor, int millimetres) {
  return static_cast<int>((static_cast<long long>(pixels) * factor * 2 + millimetres) /
                          (2LL * millimetres));  // rounded
}

}  // namespace

BoxLayout PlanBox(const BoxLayoutInput& in) {
  BoxLayout out;
  const auto& w = in.widths;
  out.columnWidth = std::max({w[kContinueButton], w[kRestartButton], w[kCloseButton]});
  out.canvasWidth = *std::max_element(w.begin(), w.end()) - 4;
  int v = static_cast<int>(Shown(in, kContinueButton)) + Shown(in, kRestartButton) +
          Shown(in, kCloseButton);
  const bool others = Shown(in, kSendButton) || Shown(in, kSaveButton) || Shown(in, kPrintButton) ||
                      Shown(in, kShowButton);
  out.column = !in.simple && v > 1 && others;
  // Without continue, restart and close the other buttons still get a row
  // of their own below the text.
  out.rows = v < 2 ? 2 : v;
  if (in.simple) {
    out.base = in.details ? w[kContinueButton] + w[kShowButton] + 28 : w[kContinueButton] + 26;
    out.reserved = 26;
  } else if (out.column) {
    out.base =
        w[kSendButton] + w[kSaveButton] + w[kPrintButton] + w[kShowButton] + out.columnWidth + 14;
    out.reserved = out.columnWidth + 40;
  } else {
    out.base = 14;
    for (int width : w) out.base += width;
    out.reserved = 26;
  }
  if (in.bigPicture) out.reserved += 40;
  out.textRectWidth = (out.base > kTextWidthLimit - 1 ? out.base : kTextWidthLimit) - out.reserved;
  return out;
}

void PlaceBox(BoxLayout& out, const BoxLayoutInput& in, int textWidth, int textHeight) {
  const auto& w = in.widths;
  const int bh = in.buttonHeight;
  int width = std::max(out.base, textWidth + out.reserved);
  const int limit = std::min(kTextWidthLimit, in.screenWidth - 5 * in.captionHeight);
  if (in.detailsView) width = std::max(width, limit);
  int y = in.bigPicture && textHeight < kBigPictureHeight ? 31 : textHeight + 5;
  if (out.rows == 3) {
    if (out.column) {
      y = std::max(7, y - bh - 4);
    } else {
      out.rows = 2;
    }
  }
  out.buttonTop = y;
  out.clientWidth = width;
  auto place = [&](int button, int x, int row, int buttonWidth) {
    out.buttons[button] = {x, y + row * (bh + 4), buttonWidth - 4, bh};
  };
  int height;
  if (in.simple) {
    int x = in.details ? (width + 2 - w[kContinueButton] - w[kShowButton]) / 2 - 3
                       : (width + 4 - w[kContinueButton]) / 2 - 3;
    place(kContinueButton, x, 1, w[kContinueButton]);
    x += w[kContinueButton] + 2;
    if (in.details) place(kShowButton, x, 1, w[kShowButton]);
    height = y + 2 * bh + 21;
  } else {
    int x = 6;
    for (int b : {kSendButton, kSaveButton, kPrintButton, kShowButton}) {
      if (!Shown(in, b)) continue;
      place(b, x, out.rows - 1, w[b]);
      x += w[b];
    }
    if (out.column) {
      x = width - out.columnWidth - 8;
      if (Shown(in, kContinueButton)) place(kContinueButton, x, 0, out.columnWidth);
      if (Shown(in, kRestartButton)) {
        place(kRestartButton, x, Shown(in, kContinueButton) ? 1 : 0, out.columnWidth);
      }
      if (Shown(in, kCloseButton)) place(kCloseButton, x, out.rows - 1, out.columnWidth);
    } else {
      x = width - (w[kContinueButton] + w[kRestartButton] + w[kCloseButton]) - 8;
      for (int b : {kContinueButton, kRestartButton, kCloseButton}) {
        if (!Shown(in, b)) continue;
        place(b, x, 1, w[b]);
        x += w[b];
      }
    }
    height = out.rows * (bh + 4) + y + 8;
  }
  out.text = {in.bigPicture ? 51 : 11, 12, textWidth, textHeight};
  if (in.bigPicture) {
    out.big = {9, 10, 32, 32};
    if (textHeight < kBigPictureHeight) out.text.y = 12 + (kBigPictureHeight - textHeight) / 2;
  }
  if (in.detailsView) {
    const int old = height;
    height = std::min(height + kDetailsHeight, in.screenHeight - 5 * in.captionHeight);
    out.tabs = {5, old - 4, width - 15, height - old - 6};
  }
  out.clientHeight = height;
}

std::string BreakSentences(std::string_view message) {
  std::string out(message);
  // 1-based position p holds the period, p + 1 the blank.
  for (long p = static_cast<long>(out.size()) - 10; p >= 20; --p) {
    const std::size_t i = static_cast<std::size_t>(p - 1);
    if (i + 1 < out.size() && out[i] == '.' && out[i + 1] == ' ') out.replace(i + 1, 1, "\r\n");
  }
  return out;
}

std::uint32_t LighterOrDarker(std::uint32_t colour, std::uint32_t delta) {
  const std::uint32_t d = delta & 0xFF;
  int overflowing = 0;
  for (int shift : {0, 8, 16}) overflowing += Channel(colour, shift) + d > 256;
  std::uint32_t out = 0;
  for (int shift : {0, 8, 16}) {
    const std::uint32_t c = Channel(colour, shift);
    const std::uint32_t v =
        overflowing <= 1 ? std::min<std::uint32_t>(c + d, 255) : (c > d ? c - d : 0);
    out |= v << shift;
  }
  return out;
}

std::uint32_t FadeColour(std::uint32_t from, std::uint32_t to, int frame) {
  std::uint32_t out = 0;
  for (int shift : {0, 8, 16}) {
    const std::uint32_t v = (Channel(from, shift) * (8 - frame) + Channel(to, shift) * frame) / 8;
    out |= v << shift;
  }
  return out;
}

std::uint32_t MarkerShade(std::uint32_t line, std::uint32_t background, int step) {
  std::uint32_t out = 0;
  for (int shift : {0, 8, 16}) {
    const std::uint32_t v =
        (Channel(line, shift) * (4 - step) + Channel(background, shift) * step) / 4;
    out |= v << shift;
  }
  return out;
}

MarkerPosition CountdownMarker(std::uint32_t elapsedMs, int width, int delaySeconds, bool classic) {
  const long long e = elapsedMs, d = delaySeconds;
  MarkerPosition out;
  if (classic) {
    out.x = static_cast<int>((e * (width - 11) + d * 500) / (d * 1000)) + 5;
    out.press = out.x > width - 6;
  } else {
    out.x = static_cast<int>((e * width + d * 500) / (d * 1000));
    out.press = out.x > width;
  }
  return out;
}

CloseChoice ChooseOnClose(int focusedButton, const std::array<bool, kButtonCount>& shown,
                          bool canContinue, bool simple) {
  switch (focusedButton) {
    case kContinueButton:
      return canContinue ? CloseChoice::Continue : CloseChoice::Close;
    case kRestartButton:
      return CloseChoice::Restart;
    case kCloseButton:
      return CloseChoice::Close;
    default:
      break;
  }
  if (shown[kContinueButton] && canContinue) return CloseChoice::Continue;
  if (shown[kCloseButton]) return CloseChoice::Close;
  if (shown[kRestartButton]) return CloseChoice::Restart;
  return simple ? CloseChoice::Close : CloseChoice::Ignore;
}

PageLayout LayoutPage(const PageMetrics& m) {
  const int horzMm = Millimetres(m.horzSize, m.horzRes, m.logPixelsX, 210);
  const int vertMm = Millimetres(m.vertSize, m.vertRes, m.logPixelsY, 297);
  PageLayout out;
  out.top = Scale(m.vertRes, 10, vertMm) - m.offsetY;
  out.left = Scale(m.horzRes, 20, horzMm) - m.offsetX;
  out.textWidth = m.horzRes + m.offsetX - out.left - Scale(m.horzRes, 10, horzMm);
  out.bottom = m.vertRes - 2 * out.top;
  out.fontHeight = -((m.logPixelsY > 0 ? m.logPixelsY : 96) * 8 / 72);
  return out;
}

}  // namespace corvan::crash
