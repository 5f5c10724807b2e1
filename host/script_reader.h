// The host program's calls, read from its command line or from a script: one
// call a line, in the same words as on the command line, blanks between the
// words, a word in double quotes holding blanks, and "#" at the start of a
// word beginning a comment that runs to the end of the line.
#ifndef QV_HOST_SCRIPT_READER_H
#define QV_HOST_SCRIPT_READER_H

#include <string>
#include <vector>

struct HostCommand {
  const char* word;
  const char* entry;  // entry point, without DISPLAYDLL_
  int arguments;
};

struct HostCall {
  const HostCommand* command = nullptr;  // null for the host's own wait and pattern
  bool pattern = false;                  // the test pattern (see test_pattern.h)
  std::string exportName;                // the export to look up
  std::vector<std::string> exports;      // every export the call uses (pattern: SetPosition and Write)
  std::vector<std::string> arguments;    // as written
  std::string text;                      // write's text, its escapes turned into bytes
  int numbers[2] = {0, 0};               // COLUMNS ROWS, X Y, or wait's and pattern's MILLISECONDS
  int line = 0;                          // in the script; 0 on the command line
};

// A whole number in decimal, as a user writes it: "08" is 8 and "010" is 10.
bool ReadInt(const char* text, int* value);
// A write's text with \n \r \t \\ \" and \xHH turned into their bytes;
// false with *error set for any other escape, and for a NUL, which a text
// handed to the driver cannot hold (it would end there).
bool Unescape(const std::string& text, std::string* bytes, std::string* error);

// Reads the call that starts at words[*next] and moves *next past it; false
// with *error set when the words do not make a call.
bool ReadCall(const std::vector<std::string>& words, size_t* next, bool decorated, HostCall* call, std::string* error);
// Splits a script line into its words; false with *error set for a quote left open.
bool SplitScriptLine(const std::string& line, std::vector<std::string>* words, std::string* error);
// One script line: *hasCall false for a blank or comment line.
bool ReadScriptLine(const std::string& line, bool decorated, bool* hasCall, HostCall* call, std::string* error);
// A whole script named `name`: its calls, or one error per wrong line, each
// starting "NAME:LINE: ".
bool ReadScript(const std::string& name, const std::string& text, bool decorated, std::vector<HostCall>* calls,
                std::vector<std::string>* errors);

#endif
