// Command-line parsing for the tools: each option is one line in a table,
// with its value's name, its help text and, for numbers, its range.
//
//   tools::Cli cli("vdec", "decodes an H.264 or HEVC Annex-B stream to I420", "vdec in.264 out.yuv");
//   cli.Number("--frames", "N", "stop after N pictures", 1, 1000000, &frames);
//   cli.Arg("INPUT", "the Annex-B stream", &input);
//   if (int rc = cli.Parse(argc, argv); rc >= 0) return rc;
//
// --help and -h print the help on standard output (exit 0). An unknown option,
// a missing or malformed value, a number out of range, a missing or extra
// argument are usage errors naming the option (exit 2). "--name=value" is
// taken as well as "--name value"; "--" ends the options; "-" is an argument.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace tools {

class Cli {
 public:
  // Sets a value from the option's text; returns "" or why it is refused.
  using Setter = std::function<std::string(const std::string&)>;

  Cli(std::string tool, std::string what, std::string examples)
      : tool_(std::move(tool)), what_(std::move(what)), examples_(std::move(examples)) {}

  // An option without a value.
  void Flag(const std::string& name, const std::string& help, bool* out) {
    opts_.push_back({name, "", help, [out](const std::string&) {
                       *out = true;
                       return std::string();
                     }});
  }
  // An option with a value, checked by the setter.
  void Value(const std::string& name, const std::string& value, const std::string& help, Setter set) {
    opts_.push_back({name, value, help, std::move(set)});
  }
  void Text(const std::string& name, const std::string& value, const std::string& help, std::string* out) {
    Value(name, value, help, [out](const std::string& v) {
      *out = v;
      return std::string();
    });
  }
  // One of the words in `choices`.
  void Choice(const std::string& name, const std::vector<std::string>& choices, const std::string& help,
              std::string* out) {
    std::string all;
    for (const std::string& c : choices) all += (all.empty() ? "" : "|") + c;
    Value(name, all, help, [choices, all, out](const std::string& v) {
      for (const std::string& c : choices)
        if (c == v) {
          *out = v;
          return std::string();
        }
      return "'" + v + "' is not one of " + all;
    });
  }
  // A whole number (decimal, or hex with 0x) in [lo, hi].
  template <typename T>
  void Number(const std::string& name, const std::string& value, const std::string& help, long long lo,
              long long hi, T* out) {
    Value(name, value, help, [lo, hi, out](const std::string& v) {
      long long n = 0;
      std::string why = ParseNumber(v, lo, hi, &n);
      if (why.empty()) *out = static_cast<T>(n);
      return why;
    });
  }
  // A positional argument; optional ones come after the required ones.
  void Arg(const std::string& name, const std::string& help, std::string* out, bool required = true) {
    args_.push_back({name, help, out, required});
  }
  // Text printed after the options in --help (formats, output lines, exit codes).
  void Notes(const std::string& text) { notes_ = text; }

  // -1: go on; otherwise the exit code (0 after --help, 2 after a usage error).
  int Parse(int argc, char** argv) {
    size_t next_arg = 0;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      if (!options_end && (a == "--help" || a == "-h")) {
        PrintHelp();
        return 0;
      }
      if (!options_end && a == "--") {
        options_end = true;
        continue;
      }
      if (!options_end && a.size() > 1 && a[0] == '-') {
        std::string name = a, value;
        bool inline_value = false;
        size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
          name = a.substr(0, eq);
          value = a.substr(eq + 1);
          inline_value = true;
        }
        const Opt* o = Find(name);
        if (!o) return Error("unknown option " + name);
        if (o->value.empty()) {
          if (inline_value) return Error(name + " takes no value");
        } else if (!inline_value) {
          if (i + 1 >= argc) return Error(name + " needs a value " + o->value);
          value = argv[++i];
        }
        std::string why = o->set(value);
        if (!why.empty()) return Error(name + ": " + why);
        continue;
      }
      if (next_arg >= args_.size()) return Error("unexpected argument '" + a + "'");
      *args_[next_arg++].out = a;
    }
    for (size_t k = next_arg; k < args_.size(); ++k)
      if (args_[k].required) return Error("missing " + args_[k].name);
    return -1;
  }

  // A usage error from the tool's own checks after Parse: prints and gives 2.
  int Error(const std::string& why) const {
    std::fprintf(stderr, "%s: %s\n%s(%s --help tells more)\n", tool_.c_str(), why.c_str(), Synopsis().c_str(),
                 tool_.c_str());
    return 2;
  }

  std::string Synopsis() const {
    std::string s = "usage: " + tool_;
    for (const Opt& o : opts_) s += " [" + o.name + (o.value.empty() ? "" : " " + o.value) + "]";
    for (const Positional& p : args_) s += p.required ? " " + p.name : " [" + p.name + "]";
    return s + "\n";
  }

  static std::string ParseNumber(const std::string& v, long long lo, long long hi, long long* out) {
    char* end = nullptr;
    errno = 0;
    const bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    long long n = std::strtoll(v.c_str(), &end, hex ? 16 : 10);
    if (v.empty() || errno == ERANGE || *end != 0 || end == v.c_str())
      return "'" + v + "' is not a number";
    if (n < lo || n > hi) return v + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi);
    *out = n;
    return "";
  }

 private:
  struct Opt {
    std::string name, value, help;
    Setter set;
  };
  struct Positional {
    std::string name, help;
    std::string* out;
    bool required;
  };

  const Opt* Find(const std::string& name) const {
    for (const Opt& o : opts_)
      if (o.name == name) return &o;
    return nullptr;
  }

  void PrintHelp() const {
    std::string s = Synopsis() + "\n" + what_ + "\n";
    size_t width = 0;
    auto label = [](const std::string& a, const std::string& b) { return b.empty() ? a : a + " " + b; };
    for (const Opt& o : opts_) width = std::max(width, label(o.name, o.value).size());
    for (const Positional& p : args_) width = std::max(width, p.name.size());
    auto line = [&](const std::string& l, const std::string& help) {
      s += "  " + l + std::string(width + 2 - l.size(), ' ');
      // Continuation lines of the help text line up under its first line.
      for (char c : help) {
        s += c;
        if (c == '\n') s += std::string(width + 4, ' ');
      }
      s += "\n";
    };
    if (!args_.empty()) s += "\narguments:\n";
    for (const Positional& p : args_) line(p.name, p.help);
    s += "\noptions:\n";
    for (const Opt& o : opts_) line(label(o.name, o.value), o.help);
    line("-h, --help", "print this help and exit");
    if (!notes_.empty()) s += "\n" + notes_ + (notes_.back() == '\n' ? "" : "\n");
    s += "\nexample:\n" + examples_ + (examples_.back() == '\n' ? "" : "\n");
    std::fputs(s.c_str(), stdout);
  }

  std::string tool_, what_, examples_, notes_;
  std::vector<Opt> opts_;
  std::vector<Positional> args_;
};

}  // namespace tools
