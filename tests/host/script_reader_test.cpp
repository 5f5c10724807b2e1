// The host program's script reader: the words of a line, the calls they make,
// and an error naming its line for every wrong one.
#include "host/script_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(HostScript, LinesSplitIntoTheCommandLinesWords) {
  std::vector<std::string> words;
  std::string error;
  ASSERT_TRUE(SplitScriptLine("  write \"Hello, world\"\t# greet\r", &words, &error));
  EXPECT_EQ((std::vector<std::string>{"write", "Hello, world"}), words);
  // Quotes may hold a quote (kept for write's own escapes) and an empty text;
  // # inside a word or quotes is text.
  ASSERT_TRUE(SplitScriptLine("write \"say \\\"hi\\\" #1\" a#b \"\"", &words, &error));
  EXPECT_EQ((std::vector<std::string>{"write", "say \\\"hi\\\" #1", "a#b", ""}), words);
  std::string text;
  ASSERT_TRUE(Unescape(words[1], &text, &error));
  EXPECT_EQ("say \"hi\" #1", text);
  ASSERT_TRUE(SplitScriptLine("   # only a comment", &words, &error));
  EXPECT_TRUE(words.empty());
  EXPECT_FALSE(SplitScriptLine("write \"open", &words, &error));
  EXPECT_EQ("a double quote is not closed", error);
}

TEST(HostScript, AScriptBecomesCallsWithTheirNumbersAndLines) {
  std::vector<HostCall> calls;
  std::vector<std::string> errors;
  ASSERT_TRUE(ReadScript("s.txt",
                         "# set up\ninit 20 2 COM3,9600,8,N,1Log\n\nposition 08 2\nwrite \"two words\"\n"
                         "wait 10\nDISPLAYDLL_Done@0\npattern 250\n",
                         false, &calls, &errors));
  ASSERT_EQ(6u, calls.size());
  EXPECT_EQ("DISPLAYDLL_Init", calls[0].exportName);
  EXPECT_EQ(20, calls[0].numbers[0]);
  EXPECT_EQ("COM3,9600,8,N,1Log", calls[0].arguments[2]);
  EXPECT_EQ(2, calls[0].line);
  EXPECT_EQ(8, calls[1].numbers[0]);  // decimal, as written
  EXPECT_EQ(4, calls[1].line);
  EXPECT_EQ("two words", calls[2].arguments[0]);
  EXPECT_EQ("two words", calls[2].text);
  EXPECT_EQ(nullptr, calls[3].command);
  EXPECT_EQ(10, calls[3].numbers[0]);
  EXPECT_EQ("DISPLAYDLL_Done@0", calls[4].exportName);
  EXPECT_EQ(7, calls[4].line);
  EXPECT_EQ((std::vector<std::string>{"DISPLAYDLL_Done@0"}), calls[4].exports);
  // The pattern is the host's own, drawn through SetPosition and Write.
  EXPECT_FALSE(calls[3].pattern);
  EXPECT_TRUE(calls[3].exports.empty());
  EXPECT_TRUE(calls[5].pattern);
  EXPECT_EQ(nullptr, calls[5].command);
  EXPECT_EQ(250, calls[5].numbers[0]);
  EXPECT_EQ((std::vector<std::string>{"DISPLAYDLL_SetPosition", "DISPLAYDLL_Write"}), calls[5].exports);
  ASSERT_TRUE(ReadScript("d.txt", "pattern 0\n", true, &calls, &errors));
  EXPECT_EQ((std::vector<std::string>{"DISPLAYDLL_SetPosition@8", "DISPLAYDLL_Write@4"}), calls.back().exports);
}

TEST(HostScript, EveryWrongLineIsReportedWithItsNumber) {
  std::vector<HostCall> calls;
  std::vector<std::string> errors;
  EXPECT_FALSE(ReadScript("my.script",
                          "name\n"
                          "wrtie Hello\n"
                          "position 1\n"
                          "position 0x10 1\n"
                          "init 20 2 default done\n"
                          "write \"unclosed\n"
                          "wait soon\n"
                          "init 99999999999 2 default\n"
                          "wait -5\n"
                          "write \"A\\x00B\"\n"
                          "write \"a\\cb\"\n"
                          "pattern -1\n"
                          "pattern\n"
                          "write ok\n",
                          false, &calls, &errors));
  EXPECT_EQ((std::vector<std::string>{
                "my.script:2: unknown command wrtie (see --help)",
                "my.script:3: position needs more arguments (see --help)",
                "my.script:4: position needs X Y, whole numbers, not \"0x10\" \"1\"",
                "my.script:5: one call a line: \"done\" follows a whole init call",
                "my.script:6: a double quote is not closed",
                "my.script:7: wait needs MILLISECONDS, a whole number, not \"soon\"",
                "my.script:8: init needs COLUMNS ROWS PARAMETERS, whole numbers, not \"99999999999\" \"2\"",
                "my.script:9: wait needs MILLISECONDS, a whole number, not \"-5\"",
                "my.script:10: write \"A\\x00B\": a text cannot hold a NUL (\\x00): the driver would send only "
                "what comes before it",
                "my.script:11: write \"a\\cb\": unknown escape \\c (\\n \\r \\t \\\\ \\\" and \\xHH are known)",
                "my.script:12: pattern needs MILLISECONDS, a whole number, not \"-1\"",
                "my.script:13: pattern needs more arguments (see --help)",
            }),
            errors);
}

TEST(HostScript, AWriteTextBecomesItsBytesOrIsRefused) {
  std::string bytes, error;
  ASSERT_TRUE(Unescape("a\\r\\n\\t\\\\\\\"\\x41\\xfF\\x7e", &bytes, &error)) << error;
  EXPECT_EQ("a\r\n\t\\\"A\xFF~", bytes);
  // Each wrong text, and what is said about it.
  const struct {
    std::string text;
    const char* error;
  } kWrong[] = {
      {"A\\x00B", "a text cannot hold a NUL (\\x00): the driver would send only what comes before it"},
      {std::string("A\0B", 3), "a text cannot hold a NUL (\\x00): the driver would send only what comes before it"},
      {"a\\cb", "unknown escape \\c (\\n \\r \\t \\\\ \\\" and \\xHH are known)"},
      {"\\0", "unknown escape \\0 (\\n \\r \\t \\\\ \\\" and \\xHH are known)"},
      {"\\x4", "\\x needs two hex digits (\\x41 is A)"},
      {"\\xg1", "\\x needs two hex digits (\\x41 is A)"},
      {"end\\", "a backslash ends the text (\\\\ is one backslash)"},
  };
  for (const auto& wrong : kWrong) {
    error.clear();
    EXPECT_FALSE(Unescape(wrong.text, &bytes, &error)) << wrong.text;
    EXPECT_EQ(wrong.error, error) << wrong.text;
  }
  // On the command line as in a script: the call is refused, not made short.
  const std::vector<std::string> words = {"write", "A\\x00B"};
  size_t next = 0;
  HostCall call;
  EXPECT_FALSE(ReadCall(words, &next, false, &call, &error));
  EXPECT_EQ(0u, next);
}

}  // namespace
