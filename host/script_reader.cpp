#include "host/script_reader.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "host/driver_loader.h"

namespace {

const HostCommand kCommands[] = {
    {"usage", "Usage", 0},          {"defaults", "DefaultParameters", 0},
    {"name", "DriverName", 0},      {"init", "Init", 3},
    {"position", "SetPosition", 2}, {"write", "Write", 1},
    {"resume", "PowerResume", 0},   {"done", "Done", 0},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ReadInt(const char* text, int* value) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || number < INT_MIN || number > INT_MAX) return false;
  *value = static_cast<int>(number);
  return true;
}

bool Unescape(const std::string& text, std::string* bytes, std::string* error) {
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *bytes += text[i];
      continue;
    }
    const char escape = i + 1 < text.size() ? text[++i] : '\0';
    switch (escape) {
      case 'n': *bytes += '\n'; break;
      case 'r': *bytes += '\r'; break;
      case 't': *bytes += '\t'; break;
      case '\\':
      case '"': *bytes += escape; break;
      case 'x':
        if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
          *bytes += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
          i += 2;
          break;
        }
        *error = "\\x needs two hex digits (\\x41 is A)";
        return false;
      case '\0': *error = "a backslash ends the text (\\\\ is one backslash)"; return false;
      default:
        *error = std::string("unknown escape \\") + escape + " (\\n \\r \\t \\\\ \\\" and \\xHH are known)";
        return false;
    }
  }
  if (bytes->find('\0') != std::string::npos) {
    *error = "a text cannot hold a NUL (\\x00): the driver would send only what comes before it";
    return false;
  }
  return true;
}

bool ReadCall(const std::vector<std::string>& words, size_t* next, bool decorated, HostCall* call, std::string* error) {
  const std::string& word = words[*next];
  *call = HostCall();
  for (const HostCommand& candidate : kCommands) {
    std::string plain = DriverLibrary::ExportName(candidate.entry, false);
    if (word == candidate.word) {
      call->exportName = DriverLibrary::ExportName(candidate.entry, decorated);
    } else if (word.compare(0, plain.size(), plain) == 0 &&
               (word.size() == plain.size() || word[plain.size()] == '@')) {
      call->exportName = word;
    } else {
      continue;
    }
    call->command = &candidate;
    break;
  }
  const int wanted = call->command != nullptr ? call->command->arguments : 1;
  if (call->command == nullptr && word != "wait" && word != "pattern") {
    *error = "unknown command " + word + " (see --help)";
    return false;
  }
  if (words.size() - *next - 1 < static_cast<size_t>(wanted)) {
    *error = word + " needs more arguments (see --help)";
    return false;
  }
  call->arguments.assign(words.begin() + static_cast<long>(*next) + 1,
                         words.begin() + static_cast<long>(*next) + 1 + wanted);
  const std::string entry = call->command != nullptr ? call->command->entry : word;
  bool argumentsRead = true;
  if (call->command != nullptr) call->exports.push_back(call->exportName);
  if (entry == "wait" || entry == "pattern") {
    argumentsRead = ReadInt(call->arguments[0].c_str(), &call->numbers[0]) && call->numbers[0] >= 0;
    if (!argumentsRead) *error = word + " needs MILLISECONDS, a whole number, not \"" + call->arguments[0] + "\"";
    if (entry == "pattern") {
      // Drawn with the driver's own calls.
      call->pattern = true;
      call->exports.push_back(DriverLibrary::ExportName("SetPosition", decorated));
      call->exports.push_back(DriverLibrary::ExportName("Write", decorated));
    }
  } else if (entry == "Write") {
    std::string textError;
    argumentsRead = Unescape(call->arguments[0], &call->text, &textError);
    if (!argumentsRead) *error = word + " \"" + call->arguments[0] + "\": " + textError;
  } else if (entry == "Init" || entry == "SetPosition") {
    argumentsRead = ReadInt(call->arguments[0].c_str(), &call->numbers[0]) &&
                    ReadInt(call->arguments[1].c_str(), &call->numbers[1]);
    if (!argumentsRead) {
      *error = word + (entry == "Init" ? " needs COLUMNS ROWS PARAMETERS" : " needs X Y") + ", whole numbers, not \"" +
               call->arguments[0] + "\" \"" + call->arguments[1] + "\"";
    }
  }
  if (!argumentsRead) return false;
  *next += 1 + static_cast<size_t>(wanted);
  return true;
}

bool SplitScriptLine(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '"') {
      // Up to the closing quote; \" stays as written for write's own escapes.
      size_t end = i + 1;
      for (; end < line.size() && line[end] != '"'; ++end) {
        if (line[end] == '\\' && end + 1 < line.size()) ++end;
      }
      if (end >= line.size()) {
        *error = "a double quote is not closed";
        return false;
      }
      word += line.substr(i + 1, end - i - 1);
      inWord = true;
      i = end;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words->push_back(word);
  return true;
}

bool ReadScriptLine(const std::string& line, bool decorated, bool* hasCall, HostCall* call, std::string* error) {
  std::vector<std::string> words;
  *hasCall = false;
  if (!SplitScriptLine(line, &words, error)) return false;
  if (words.empty()) return true;
  size_t next = 0;
  if (!ReadCall(words, &next, decorated, call, error)) return false;
  if (next < words.size()) {
    *error = "one call a line: \"" + words[next] + "\" follows a whole " + words[0] + " call";
    return false;
  }
  *hasCall = true;
  return true;
}

bool ReadScript(const std::string& name, const std::string& text, bool decorated, std::vector<HostCall>* calls,
                std::vector<std::string>* errors) {
  int number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    bool hasCall = false;
    HostCall call;
    std::string error;
    if (!ReadScriptLine(line, decorated, &hasCall, &call, &error)) {
      errors->push_back(name + ":" + std::to_string(number) + ": " + error);
    } else if (hasCall) {
      call.line = number;
      calls->push_back(call);
    }
  }
  return errors->empty();
}
