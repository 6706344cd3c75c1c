// What Form2 looks like: its texts, fonts and layout, free of Windows types.
//
// Layout is in twips (1/1440 inch) and becomes pixels at the display's own
// DPI, so the window keeps its proportions on large-font displays.
#pragma once

namespace clearwick {

// The Korean texts, stored as code page 949 bytes.
// "시작 페이지 변경 프로그램을 삭제하시겠습니까?"
inline constexpr char kLabel1Text[] =
    "\xbd\xc3\xc0\xdb \xc6\xe4\xc0\xcc\xc1\xf6 \xba\xaf\xb0\xe6 \xc7\xc1\xb7\xce\xb1\xd7"
    "\xb7\xa5\xc0\xbb \xbb\xe8\xc1\xa6\xc7\xcf\xbd\xc3\xb0\xda\xbd\xc0\xb4\xcf\xb1\xee?";
inline constexpr char kCmdOkText[] = "\xc8\xae\xc0\xce";      // "확인"
inline constexpr char kCmdCancelText[] = "\xc3\xeb\xbc\xd2";  // "취소"
inline constexpr char kLabelFontFace[] = "\xb1\xbc\xb8\xb2\xc3\xbc";  // "굴림체" (GulimChe)

inline constexpr unsigned kKoreanCodePage = 949;
inline constexpr unsigned char kHangulCharset = 129;
inline constexpr int kLabelFontCentipoints = 975;  // 9.75 pt
inline constexpr int kLabelFontWeight = 400;
inline constexpr unsigned long kBackgroundColor = 0x00E0E0E0;  // RGB(224, 224, 224)

struct TwipRect {
    int left, top, width, height;
};

inline constexpr int kClientWidthTwips = 5700;
inline constexpr int kClientHeightTwips = 1785;
// In tab order.
inline constexpr TwipRect kLabel1Rect = {480, 480, 4725, 195};
inline constexpr TwipRect kCmdOkRect = {1320, 975, 1000, 400};
inline constexpr TwipRect kCmdCancelRect = {3000, 975, 1000, 400};

// Plain int arithmetic: layout values stay below 2^15 twips and displays
// below 2^15 dpi, so the products fit, and 32-bit code needs no 64-bit
// division helpers for them.

// value * numerator / denominator, rounded half away from zero as
// MulDiv(value, numerator, denominator) rounds it.
constexpr int Scale(int value, int numerator, int denominator) {
    const int scaled = value * numerator;
    return (scaled >= 0 ? scaled + denominator / 2 : scaled - denominator / 2) / denominator;
}

constexpr int TwipsToPixels(int twips, int dpi) { return Scale(twips, dpi, 1440); }

// LOGFONT height (negative: character height) for a size in 1/100 point.
constexpr int FontHeightForCentipoints(int centipoints, int dpi) { return Scale(-centipoints, dpi, 7200); }

}  // namespace clearwick
