// The options, and the console's text as a terminal or a pipe gets it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/DisplayText.h"
#include "app/UiThread.h"
#include "cli/CommandLine.h"
#include "cli/ConsolePrompts.h"
#include "cli/ConsoleWaitHost.h"

namespace quon::cli {
namespace {

TEST(CommandLine, OptionsAreReadOrRefusedWithAReason) {
  using C = CommandLineOptions::Command;
  struct Case {
    std::vector<std::string> args;
    bool ok;
    C command;
    bool all;
    uint32_t id;
    std::string errorHas;
  };
  const Case cases[] = {
      {{"--list"}, true, C::List, false, 0, ""},
      {{"--install", "7", "--yes", "--quiet", "--log", "u.log"}, true, C::Install, false, 7, ""},
      {{"--install=ALL"}, true, C::Install, true, 0, ""},
      {{"--install", "4294967295"}, true, C::Install, false, 4294967295u, ""},
      {{"--list", "--help"}, true, C::Help, false, 0, ""},
      {{"--version", "--bogus"}, false, C::Help, false, 0, "unknown option '--bogus'"},
      {{"--install"}, false, C::Help, false, 0, "--install needs a value"},
      {{"--install", "4294967296"}, false, C::Help, false, 0, "needs an update number"},
      {{"--install", "0"}, false, C::Help, false, 0, "needs an update number"},
      {{"--install", "-2147483648"}, true, C::Install, false, 0x80000000u, ""},
      {{"--install", "-2147483649"}, false, C::Help, false, 0, "needs an update number"},
      {{"--install", "7x"}, false, C::Help, false, 0, "needs an update number"},
      {{"--list", "--install", "7"}, false, C::Help, false, 0, "cannot be given together"},
      {{"--yes"}, false, C::Help, false, 0, "nothing to do"},
      {{"--rollback", "--yes"}, true, C::Rollback, false, 0, ""},
      {{"--rollback", "--install", "7"}, false, C::Help, false, 0, "cannot be given together"},
      {{"--install-archive", "a.cab", "--brings", "6.0.122.3"}, true, C::InstallArchive, false, 0, ""},
      {{"--install-archive", "a.cab", "--list"}, false, C::Help, false, 0, "cannot be given together"},
      {{"--list", "--brings", "6.0.122.3"}, false, C::Help, false, 0, "--brings goes with --install-archive"},
      {{"--list", "--log="}, false, C::Help, false, 0, "--log needs a file name"},
      {{"--list=1"}, false, C::Help, false, 0, "takes no value"},
  };
  for (const Case& c : cases) {
    const ParsedCommandLine parsed = ParseCommandLine(c.args);
    const std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(parsed.ok, c.ok) << what << ": " << parsed.error;
    if (c.ok) {
      EXPECT_EQ(parsed.options.command, c.command) << what;
      EXPECT_EQ(parsed.options.installAll, c.all) << what;
      EXPECT_EQ(parsed.options.installId, c.id) << what;
    } else {
      EXPECT_NE(parsed.error.find(c.errorHas), std::string::npos) << what << ": " << parsed.error;
    }
  }
}

TEST(CommandLine, ServerTextCannotSendTheTerminalCommandsNorRunOn) {
  EXPECT_EQ(PrintableText("a\x1b[2Jb\x07\x7f\tc\r\nd\re"), "a?[2Jb??\tc\nd\ne");
  EXPECT_EQ(OneLine("name\twith\r\nbreaks"), "name with breaks");
  // Each line is cut, and so is a text that OneLine joins.
  const std::string line(kMaxShownLineChars - 3, 'x');
  EXPECT_EQ(PrintableText(std::string(100000, 'x') + "\nend"), line + "...\nend");
  EXPECT_EQ(OneLine(std::string(3000, 'y') + "\n" + std::string(3000, 'y')).size(), kMaxShownLineChars);
}

// A console whose streams and input are what the case says; its log keeps
// what it gets, or fails every write.
class FakeConsole : public ConsoleSystem {
 public:
  explicit FakeConsole(bool terminal) : m_terminal(terminal) {}
  bool IsTerminal(Stream) override { return m_terminal; }
  bool InputIsTerminal() override { return m_terminal; }
  void Write(Stream stream, std::string_view text) override { (stream == Stream::Out ? out : err) += text; }
  bool ReadLine(std::string& line, bool) override {
    line = answer;
    return true;
  }
  bool InterruptRequested() override { return false; }
  std::unique_ptr<LogFile> OpenLog(const std::string&, std::string&) override { return std::make_unique<Log>(*this); }
  std::string out, err, log, answer = "y";
  bool logFull = false;

 private:
  struct Log : LogFile {
    explicit Log(FakeConsole& console) : console(console) {}
    bool Append(std::string_view bytes, std::string& error) override {
      if (console.logFull) error = "No space left on device";
      if (!console.logFull) console.log += bytes;
      return !console.logFull;
    }
    FakeConsole& console;
  };
  bool m_terminal;
};

TEST(CommandLine, ALogThatCannotBeWrittenIsToldOnceAndTheRunGoesOn) {
  FakeConsole console(false);
  ConsoleOutput output(console, false);
  std::string error;
  ASSERT_TRUE(output.OpenLog("u.log", error));
  output.Info("first");
  console.logFull = true;
  output.Info("second");
  output.Error("third");
  EXPECT_NE(console.log.find(" first"), std::string::npos) << console.log;
  EXPECT_EQ(console.log.find("second"), std::string::npos);
  EXPECT_EQ(console.out, "first\nsecond\n");
  EXPECT_EQ(console.err, "QuonUpdate: cannot write to the log file u.log: No space left on device.\nthird\n");
}

TEST(CommandLine, ProgressQuestionsAndMessagesFollowTheOutput) {
  struct Case {
    bool terminal, quiet;
    std::string out;
    int answer;
  };
  const Case cases[] = {
      {true, false, "\r10 KB of 20 KB\r20 KB" + std::string(9, ' ') + "\ndone\n", kIdYes},
      {false, false, "20 KB\ndone\n", kIdNo},
      {false, true, "", kIdNo},
  };
  for (const Case& c : cases) {
    FakeConsole console(c.terminal);
    ConsoleOutput output(console, c.quiet);
    ConsolePrompts prompts(output, {"done"});
    output.Progress("10 KB of 20 KB", false);
    output.Progress("20 KB", true);
    EXPECT_EQ(prompts.MessageBox("done"), kIdOk);
    EXPECT_EQ(prompts.MessageBox("Error: " + std::string(5000, 'x')), kIdOk);
    EXPECT_EQ(prompts.MessageBox("Close them?", MsgButtons::YesNo), c.answer);
    EXPECT_EQ(console.out, c.out) << c.terminal << c.quiet;
    EXPECT_EQ(console.err.find("Error: " + std::string(kMaxShownMessageChars - 10, 'x') + "...\n"), 0u) << console.err;
  }
}

// An unattended download that gets less than the rule's bytes in its window
// is ended as stalled (a byte now and then keeps no run alive); one that
// keeps delivering is not, however long it takes.
TEST(CommandLine, ADownloadThatDeliversTooLittleForTooLongIsEndedAsStalled) {
  using namespace std::chrono_literals;
  const struct {
    size_t bytesPerStep;
    bool stalled;
  } cases[] = {{1, true}, {600, false}};
  for (const auto& c : cases) {
    FakeConsole console(false);
    ConsoleOutput output(console, false);
    ConsoleWaitHost host(output, nullptr, StallRule{1024, 400ms});
    const int32_t result = RunWithWaitDialog(host, 1, [&c](ProgressDisplay* progress, const CancelFlag& cancel) {
      progress->ShowProgressBar(0, 100);
      for (int step = 0; step < 30 && !cancel.IsCancelled(); ++step) {
        progress->DataReceived(c.bytesPerStep);
        std::this_thread::sleep_for(50ms);
      }
      return cancel.IsCancelled() ? 0 : 1;
    });
    EXPECT_EQ(host.Stalled(), c.stalled) << c.bytesPerStep;
    EXPECT_EQ(result, c.stalled ? 0 : 1);
    EXPECT_TRUE(host.FileDataArrived());
  }
  EXPECT_TRUE(WaitForWaitWorkers(5s));
}

}  // namespace
}  // namespace quon::cli
