// Options named in messages, spelled as each front end's users write them.
//
// The tracking library's messages (refusals and warnings) name the options
// that would help: "with --pixel-size 65 the median cell is ...", "give
// --allow-gaps". The same messages reach Python users, who write keywords:
// "pixel_size=65", "allow_gaps=True". A message that names an option is a
// template holding both spellings (option_named, option_with,
// option_switch); spell_options turns it into one front end's text. Text
// without options passes through unchanged, so a message built without
// these helpers reads as before.
#pragma once

#include <string>

namespace vantu {

enum class OptionSpelling { kCommandLine, kPython };

namespace option_marks {
constexpr char kOpen = '\x1e', kValue = '\x1f';  // never in a message's own text
}

// The option `name` (the command line's, without "--"): alone ("--config" /
// "config"), with a value ("--pixel-size 65" / "pixel_size=65") or as a
// switch ("--allow-gaps" / "allow_gaps=True").
inline std::string option_named(const std::string& name) { return option_marks::kOpen + ("n" + name) + option_marks::kOpen; }
inline std::string option_with(const std::string& name, const std::string& value) {
  return option_marks::kOpen + ("v" + name) + option_marks::kValue + value + option_marks::kOpen;
}
inline std::string option_switch(const std::string& name) { return option_marks::kOpen + ("s" + name) + option_marks::kOpen; }

// `message` with its options spelled for `who`.
inline std::string spell_options(const std::string& message, OptionSpelling who) {
  std::string out;
  size_t at = 0;
  for (size_t open; (open = message.find(option_marks::kOpen, at)) != std::string::npos;) {
    const size_t close = message.find(option_marks::kOpen, open + 1);
    if (close == std::string::npos || close == open + 1) break;
    out.append(message, at, open - at);
    const char kind = message[open + 1];
    std::string body = message.substr(open + 2, close - open - 2), value;
    const size_t v = body.find(option_marks::kValue);
    if (v != std::string::npos) value = body.substr(v + 1), body.resize(v);
    if (who == OptionSpelling::kCommandLine) {
      out += "--" + body + (kind == 'v' ? " " + value : "");
    } else {
      for (char& c : body)
        if (c == '-') c = '_';
      out += body + (kind == 'v' ? "=" + value : kind == 's' ? "=True" : "");
    }
    at = close + 1;
  }
  return out + message.substr(at);
}

}  // namespace vantu
