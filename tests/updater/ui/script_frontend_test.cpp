#include "updater/ui/script_frontend.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

using namespace kestra::ui;

TEST(ScriptAnswers, EachBoxTakesTheFirstLineNamingOneOfItsButtons) {
  kestra::test::TempDir dir;
  dir.Write("answers", "Retry\r\nYes\nbogus\nOK\n");
  ScriptConfig c;
  c.answers_file = dir / "answers";
  ScriptFrontend f(c);
  // A Yes/No box skips "Retry" (dropped) and takes "Yes".
  EXPECT_EQ(f.TakeAnswer(Buttons::YesNo), Answer::Yes);
  // "bogus" names nothing; "OK" fits.
  EXPECT_EQ(f.TakeAnswer(Buttons::OKCancel), Answer::OK);
  // Out of answers: Cancel, else No, else OK.
  EXPECT_EQ(f.TakeAnswer(Buttons::RetryCancel), Answer::Cancel);
  EXPECT_EQ(f.TakeAnswer(Buttons::YesNo), Answer::No);
  EXPECT_EQ(f.TakeAnswer(Buttons::OK), Answer::OK);
}

TEST(ScriptAnswers, NoFittingLineLeavesTheLinesForLaterBoxes) {
  kestra::test::TempDir dir;
  dir.Write("answers", "Retry\n");
  ScriptConfig c;
  c.answers_file = dir / "answers";
  ScriptFrontend f(c);
  EXPECT_EQ(f.TakeAnswer(Buttons::YesNo), Answer::No);
  EXPECT_EQ(f.TakeAnswer(Buttons::RetryCancel), Answer::Retry);
}

TEST(ScriptTranscript, MessageBoxEvent) {
  kestra::test::TempDir dir;
  ScriptConfig c;
  c.transcript_file = dir / "t.jsonl";
  {
    ScriptFrontend f(c);
    EXPECT_EQ(f.ShowMessageBox(nullptr, "a\"b\\c\n", "错误", Buttons::OK, Icon::Error), Answer::OK);
  }
  EXPECT_EQ(dir.Read("t.jsonl"),
            "{\"event\":\"messagebox\",\"caption\":\"\xE9\x94\x99\xE8\xAF\xAF\",\"text\":\"a\\\"b\\\\c\\n\","
            "\"buttons\":\"OK\",\"icon\":\"error\",\"answer\":\"OK\"}\n");
}

}  // namespace
