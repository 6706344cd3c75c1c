#include "window/form2_layout.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace clearwick {
namespace {

TEST(TwipsToPixels, ScalesTheLayoutWithTheDisplay) {
    struct Case {
        int twips, dpi, pixels;
    };
    const Case cases[] = {
        {kClientWidthTwips, 96, 380},   {kClientHeightTwips, 96, 119},
        {kClientWidthTwips, 120, 475},  {kClientHeightTwips, 120, 149},  // 148.75 rounds up
        {kClientWidthTwips, 144, 570},  {kClientHeightTwips, 144, 179},  // 178.5 rounds half up
        {kClientWidthTwips, 192, 760},  {kClientHeightTwips, 192, 238},
        {kLabel1Rect.width, 96, 315},   {kLabel1Rect.height, 96, 13},
        {kCmdOkRect.left, 96, 88},      {kCmdCancelRect.left, 96, 200},
        {kCmdOkRect.height, 96, 27},    {0, 96, 0},
        {-15, 96, -1},                  {-8, 96, -1},  // half away from zero, like MulDiv
    };
    for (const Case& c : cases)
        EXPECT_EQ(TwipsToPixels(c.twips, c.dpi), c.pixels) << c.twips << " twips at " << c.dpi;
}

TEST(FontHeightForCentipoints, GivesTheLabelFontsCharacterHeight) {
    EXPECT_EQ(FontHeightForCentipoints(kLabelFontCentipoints, 96), -13);
    EXPECT_EQ(FontHeightForCentipoints(kLabelFontCentipoints, 120), -16);
    EXPECT_EQ(FontHeightForCentipoints(kLabelFontCentipoints, 144), -20);
    EXPECT_EQ(FontHeightForCentipoints(800, 96), -11);
}

// The buttons' font keeps the system's dialog font size, given at the DPI
// it was read at: scaled from there, never from the last layout's, it comes
// back to the same height after any number of DPI changes.
TEST(Scale, TakesTheDialogFontSizeToTheWindowsDpi) {
    struct Case {
        int height, to, from, scaled;
    };
    const Case cases[] = {
        {-11, 96, 96, -11},  {-11, 144, 96, -17},  // -16.5, away from zero as MulDiv
        {-17, 96, 144, -11}, {-17, 144, 144, -17}, {-11, 120, 96, -14},  // -13.75
        {-11, 192, 96, -22}, {-22, 96, 192, -11},  {11, 144, 96, 17},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Scale(c.height, c.to, c.from), c.scaled) << c.height << " at " << c.from << " to " << c.to;
}

// The texts are kept as code page 949 bytes; decoding them with the C
// library's own table proves each byte is what the Korean text needs.
std::string Cp949ToUtf8(const char* bytes) {
    const iconv_t cd = iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "(no CP949 converter)";
    std::string in(bytes), out(4 * in.size() + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t srcLeft = in.size(), dstLeft = out.size();
    const bool ok = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    if (!ok) return "(invalid CP949)";
    out.resize(out.size() - dstLeft);
    return out;
}

TEST(KoreanTexts, AreTheQuestionAndButtonsInCodePage949) {
    EXPECT_EQ(Cp949ToUtf8(kLabel1Text), "시작 페이지 변경 프로그램을 삭제하시겠습니까?");
    EXPECT_EQ(Cp949ToUtf8(kCmdOkText), "확인");
    EXPECT_EQ(Cp949ToUtf8(kCmdCancelText), "취소");
    EXPECT_EQ(Cp949ToUtf8(kLabelFontFace), "굴림체");
    // The window's UTF-16 buffer for a converted text holds 64 units.
    EXPECT_LT(sizeof kLabel1Text, 64u);
}

}  // namespace
}  // namespace clearwick
