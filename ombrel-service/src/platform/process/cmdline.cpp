#include "platform/process/cmdline.hpp"

namespace ombrel::platform {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string quote_windows_argument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(arg);
  }
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // Backslashes before a quote are escapes: double them, then escape the quote.
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  // Trailing backslashes precede the closing quote.
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

std::string windows_command_line(std::string_view program, std::span<const std::string> args) {
  std::string line = "\"";
  line += program;
  line += '"';
  for (const std::string& arg : args) {
    line += ' ';
    line += quote_windows_argument(arg);
  }
  return line;
}

std::vector<std::string> split_windows_command_line(std::string_view line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  // The program name: up to the closing quote, or up to the first blank.
  {
    std::string program;
    if (i < line.size() && line[i] == '"') {
      ++i;
      while (i < line.size() && line[i] != '"') program += line[i++];
      if (i < line.size()) ++i;
    } else {
      while (i < line.size() && !is_blank(line[i])) program += line[i++];
    }
    args.push_back(std::move(program));
  }
  while (true) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size()) {
      const char c = line[i];
      if (!quoted && is_blank(c)) break;
      if (c == '\\') {
        std::size_t n = 0;
        while (i < line.size() && line[i] == '\\') {
          ++n;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          arg.append(n / 2, '\\');
          if (n % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(n, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          // A doubled quote inside quotes is one literal quote.
          arg += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace ombrel::platform
