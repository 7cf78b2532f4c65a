#include "updater/app/controls/hyperlink.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/updater/app/dialog_harness.h"

namespace kestra::app::controls {
namespace {

using test::Joined;

ui::DialogTemplate LinkTemplate() {
  ui::DialogTemplate t;
  t.title = "links";
  t.controls = {{10, ui::ControlKind::HyperLink, "官方主页", 0, 0, 30, 10},
                {11, ui::ControlKind::HyperLink, "", 0, 20, 30, 10}};
  return t;
}

// Runs `body` on the UI thread of a small dialog with two links.
class LinkDialog : public ui::Dialog {
 public:
  LinkDialog(ui::Frontend* frontend, std::function<void(LinkDialog&)> body)
      : ui::Dialog(LinkTemplate(), frontend), body_(std::move(body)) {}
  CHyperLink named, empty;

 protected:
  void OnInitDialog() override {
    named.Attach(*this, 10);
    empty.Attach(*this, 11);
    body_(*this);
    EndDialog(1);
  }

 private:
  std::function<void(LinkDialog&)> body_;
};

class HyperLinkTest : public ::testing::Test {
 protected:
  std::vector<std::string> Run(std::function<void(LinkDialog&)> body, const std::string& answers = "") {
    std::unique_ptr<ui::Frontend> frontend = install_.Frontend(answers);
    LinkDialog dialog(frontend.get(), std::move(body));
    dialog.RunModal();
    return install_.Transcript();
  }
  test::ScriptedInstall install_;
};

TEST_F(HyperLinkTest, TextStaysAndAnEmptyTextShowsTheUrl) {
  std::string named_text, empty_text;
  Run([&](LinkDialog& d) {
    d.named.SetLinkTarget("http://127.0.0.1/home.html");
    d.empty.SetLinkTarget("http://127.0.0.1/other.html");
    named_text = d.Text(10);
    empty_text = d.Text(11);
    EXPECT_EQ(d.named.url(), "http://127.0.0.1/home.html");
  });
  EXPECT_EQ(named_text, "官方主页");
  EXPECT_EQ(empty_text, "http://127.0.0.1/other.html");
}

TEST_F(HyperLinkTest, ColoursFollowHoverAndVisited) {
  std::vector<ui::gui::Colour> seen;
  Run([&](LinkDialog& d) {
    d.named.SetLinkTarget("http://127.0.0.1/x");
    seen.push_back(d.named.TextColour());
    d.named.MouseOver(true);
    seen.push_back(d.named.TextColour());
    d.named.MouseOver(false);
    d.named.Click([](std::string_view) { return 42; });
    seen.push_back(d.named.TextColour());
    d.named.MouseOver(true);
    seen.push_back(d.named.TextColour());
    EXPECT_TRUE(d.named.underline());
  });
  const std::vector<ui::gui::Colour> expected = {{0, 0, 238}, CHyperLink::kHoverColour, {85, 26, 139},
                                                 CHyperLink::kHoverColour};
  EXPECT_EQ(seen, expected);
}

TEST_F(HyperLinkTest, FailedOpenReportsAndStaysUnvisited) {
  bool visited = true;
  std::vector<std::string> opened;
  std::vector<std::string> lines = Run([&](LinkDialog& d) {
    d.named.SetLinkTarget("http://127.0.0.1/x");
    int result = d.named.Click([&](std::string_view url) {
      opened.emplace_back(url);
      return 26;
    });
    EXPECT_EQ(result, 26);
    visited = d.named.visited();
  });
  EXPECT_FALSE(visited);
  EXPECT_EQ(Joined(opened), "http://127.0.0.1/x\n");
  const std::vector<std::string> expected = {
      R"({"event":"open_url","url":"http://127.0.0.1/x"})",
      R"({"event":"messagebox","caption":"links","text":"Unable to open hyperlink:\n\nA sharing violation occurred. ","buttons":"OK","icon":"warning","answer":"OK"})",
      R"({"event":"end","result":1})"};
  EXPECT_EQ(Joined(lines), Joined(expected));
}

TEST(HyperLinkErrorTextTest, OneTextPerResult) {
  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {
      {0, "The operating system is out\nof memory or resources."},
      {2, "The specified file was not found."},
      {3, "The specified path was not found."},
      {5, "The operating system denied\naccess to the specified file."},
      {8, "There was not enough memory to complete the operation."},
      {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
      {26, "A sharing violation occurred. "},
      {27, "The filename association is\nincomplete or invalid."},
      {28, "The DDE transaction could not\nbe completed because the request timed out."},
      {29, "The DDE transaction failed."},
      {30, "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
      {31, "There is no application associated\nwith the given filename extension."},
      {32, "The specified dynamic-link library was not found."},
      {7, "Unknown Error (7) occurred."},
      {-1, "Unknown Error (-1) occurred."},
  };
  for (const Case& c : cases) EXPECT_EQ(CHyperLink::ErrorText(c.code), c.text) << c.code;
}

}  // namespace
}  // namespace kestra::app::controls
