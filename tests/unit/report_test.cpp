#include "app/report.h"

#include "standin_test.h"

using ReportTest = StandinTest;

TEST_F(ReportTest, NumbersArePlainSignedDecimals) {
  for (std::int32_t value : {0, 7, -1, 1234567, 2147483647}) {
    WriteNumber(value);
    WriteText(" ");
  }
  WriteNumber(-2147483647 - 1);
  EXPECT_EQ(output(), "0 7 -1 1234567 2147483647 -2147483648");
}

TEST_F(ReportTest, LineEndWritesNewlineThenFlushes) {
  WriteText("a");
  EndLine();
  EndLine();  // nothing since the last line end: an empty line
  EXPECT_EQ(output(), "a\n\n");
  const int newline = IndexOf("write \n");
  ASSERT_GE(newline, 0);
  EXPECT_EQ(state().calls[newline + 1], "flush");
}

TEST_F(ReportTest, BothWritersKeepCallOrderOnOneLine) {
  WriteWideText(L"vexpp.exe");
  WriteWideText(L":");
  WriteText(" TerminateProcess() OK");
  EndLine();
  EXPECT_EQ(output(), "vexpp.exe: TerminateProcess() OK\n");
}

TEST_F(ReportTest, WideTextOutsideTheCodePageBecomesQuestionMarksAndOutputGoesOn) {
  WriteWideText(L"a\u00e9\u0436\u4e2d.exe");
  WriteWideText(L":");
  WriteText(" next");
  EXPECT_EQ(output(), "a\xe9??.exe: next");
}
