#include "driver/command_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "core/naming.h"
#include "core/text.h"

namespace {

enum class Takes { Nothing, Value, MaybeValue };

enum class Option {
  Overwrite,
  Delete,
  Level,
  Fast,
  Best,
  Threads,
  Recursive,
  Help,
  Version,
  FilesFrom,
  Files0From,
  OutputDir,
  Exclude,
  OlderThan,
  DryRun,
  Quiet,
  Json,
};

struct LongOption {
  std::string_view name;
  Takes takes;
  Option option;
};

constexpr std::array kLongOptions{
    LongOption{"overwrite", Takes::Nothing, Option::Overwrite},
    LongOption{"delete", Takes::Nothing, Option::Delete},
    LongOption{"level", Takes::Value, Option::Level},
    LongOption{"fast", Takes::Nothing, Option::Fast},
    LongOption{"best", Takes::Nothing, Option::Best},
    LongOption{"threads", Takes::MaybeValue, Option::Threads},
    LongOption{"recursive", Takes::Nothing, Option::Recursive},
    LongOption{"help", Takes::Nothing, Option::Help},
    LongOption{"version", Takes::Nothing, Option::Version},
    LongOption{"files-from", Takes::Value, Option::FilesFrom},
    LongOption{"files0-from", Takes::Value, Option::Files0From},
    LongOption{"output-dir", Takes::Value, Option::OutputDir},
    LongOption{"exclude", Takes::Value, Option::Exclude},
    LongOption{"older-than", Takes::Value, Option::OlderThan},
    LongOption{"dry-run", Takes::Nothing, Option::DryRun},
    LongOption{"quiet", Takes::Nothing, Option::Quiet},
    LongOption{"json", Takes::Nothing, Option::Json},
};

// A letter option and the word it may be spelt out to; an empty word: the letter alone.
struct LetterOption {
  char letter;
  std::string_view word;
  Option option;
};

constexpr std::array kLetterOptions{
    LetterOption{'O', "OVERWRITE", Option::Overwrite},
    LetterOption{'D', "DELETE", Option::Delete},
    LetterOption{'R', "RECURSIVE", Option::Recursive},
    LetterOption{'T', "THREADS", Option::Threads},
    LetterOption{'N', "", Option::DryRun},
    LetterOption{'Q', "QUIET", Option::Quiet},
    LetterOption{'H', "HELP", Option::Help},
    LetterOption{'?', "", Option::Help},
};

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool startsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// The letters spell the start of word, in either case.
bool spellsStartOf(std::string_view letters, std::string_view word) {
  if (letters.size() > word.size()) return false;
  for (std::size_t i = 0; i < letters.size(); ++i) {
    if (upper(letters[i]) != word[i]) return false;
  }
  return true;
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A number of workers, held to 1-64 as -T<n> always was.
int workerCount(std::string_view digits) {
  int count = 0;
  for (std::size_t i = 0; i < digits.size() && count <= kMaxWorkers; ++i) {
    count = count * 10 + (digits[i] - '0');
  }
  return std::clamp(count, 1, kMaxWorkers);
}

// "30m", "12h", "7d": a whole number and its unit, in seconds; -1 for anything else.
std::int64_t ageSeconds(std::string_view age) {
  if (age.size() < 2 || !allDigits(age.substr(0, age.size() - 1)) || age.size() > 12) return -1;
  std::int64_t unit = 0;
  switch (age.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    case 'w':
      unit = 7 * 86400;
      break;
    default:
      return -1;
  }
  std::int64_t count = 0;
  for (char digit : age.substr(0, age.size() - 1)) count = count * 10 + (digit - '0');
  return count * unit;
}

std::string quoted(std::string_view parameter) {
  return "'" + escapedName(parameter) + "'";
}

class Parser {
 public:
  Parser(const std::vector<std::string>& parameters, CommandLine& line)
      : parameters_(parameters), line_(line), options_(line.options) {}

  void parse() {
    std::size_t i = 0;
    // The first parameter is the mask even when it looks like an option; only a long option
    // (or "--") is taken as one there.
    if (!startsWith(parameters_[0], "--")) {
      setMask(parameters_[0]);
      i = 1;
    }
    bool optionsEnded = false;
    for (; i < parameters_.size(); ++i) {
      const std::string& parameter = parameters_[i];
      if (optionsEnded || parameter.size() < 2 || parameter[0] != '-') {
        if (haveMask_) {
          line_.words.push_back(i);  // ignored, but looked at for an expanded mask
        } else {
          setMask(parameter);
        }
      } else if (parameter == "--") {
        optionsEnded = true;
      } else {
        line_.words.push_back(i);
        if (parameter[1] == '-') {
          i = longOption(i);
        } else {
          shortOption(parameter);
        }
      }
    }
    if (options_.fileList.empty() && !haveMask_) refuse("no file mask given");
    if (!options_.fileList.empty() && haveMask_) {
      refuse("a mask and a list of names (" + listOption_ + ") exclude each other");
    }
    // A list names the files themselves: there is no folder to walk.
    if (!options_.fileList.empty() && options_.recursive) {
      refuse("-R and a list of names (" + listOption_ + ") exclude each other");
    }
  }

 private:
  void setMask(const std::string& mask) {
    // No cut at 255 characters: a Linux path may be longer, and a cut mask would find other
    // files.
    options_.fileMask = mask;
    haveMask_ = true;
  }

  // The first refusal, help or version asked for decides; what follows is still read for the
  // words an expanded mask would show in.
  void refuse(const std::string& why) {
    if (line_.action != CommandLine::Action::Run) return;
    line_.action = CommandLine::Action::Refused;
    line_.refusal = why;
  }
  void ask(CommandLine::Action action) {
    if (line_.action == CommandLine::Action::Run) line_.action = action;
  }

  void shortOption(const std::string& parameter) {
    const char letter = upper(parameter[1]);
    const std::string_view rest = std::string_view(parameter).substr(2);
    if (letter >= '0' && letter <= '9') {
      options_.compressionLevel = letter - '0';
      return;
    }
    for (const LetterOption& known : kLetterOptions) {
      if (known.letter != letter) continue;
      if (known.option == Option::Threads && allDigits(rest)) {
        options_.workers = workerCount(rest);
        return;
      }
      if (rest.empty() || (!known.word.empty() && spellsStartOf(rest, known.word.substr(1)))) {
        apply(known.option, parameter, std::nullopt);
        return;
      }
    }
    refuse("unknown option " + quoted(parameter));
  }

  // Returns the index of the last parameter it used.
  std::size_t longOption(std::size_t i) {
    const std::string& parameter = parameters_[i];
    const std::string_view body = std::string_view(parameter).substr(2);
    const std::size_t equals = body.find('=');
    const std::string_view name = body.substr(0, equals);
    std::optional<std::string> value;
    if (equals != std::string_view::npos) value.emplace(body.substr(equals + 1));

    const LongOption* match = nullptr;
    std::string candidates;
    for (const LongOption& known : kLongOptions) {
      if (known.name == name) {
        match = &known;
        candidates.clear();
        break;
      }
      if (!name.empty() && startsWith(known.name, name)) {
        candidates += (candidates.empty() ? "--" : ", --") + std::string(known.name);
        match = candidates.find(',') == std::string::npos ? &known : nullptr;
      }
    }
    if (candidates.find(',') != std::string::npos) {
      refuse("option " + quoted("--" + std::string(name)) + " is ambiguous: " + candidates);
      return i;
    }
    if (match == nullptr) {
      refuse("unknown option " + quoted(parameter));
      return i;
    }
    const std::string shown = "--" + std::string(match->name);
    if (match->takes == Takes::Nothing && value) {
      refuse("option " + shown + " takes no value");
      return i;
    }
    if (match->takes == Takes::Value && !value) {
      if (i + 1 == parameters_.size()) {
        refuse("option " + shown + " needs a value");
        return i;
      }
      value = parameters_[++i];
    }
    apply(match->option, shown, value);
    return i;
  }

  void apply(Option option, const std::string& shown, const std::optional<std::string>& value) {
    const auto bad = [&](std::string_view what) {
      refuse(quoted(shown + "=" + value.value_or("")) + ": " + std::string(what));
    };
    switch (option) {
      case Option::Overwrite:
        options_.overwriteArchives = true;
        break;
      case Option::Delete:
        options_.deleteAfterZipping = true;
        break;
      case Option::Level:
        if (value->size() != 1 || !allDigits(*value)) return bad("a level is a digit, 0 to 9");
        options_.compressionLevel = (*value)[0] - '0';
        break;
      case Option::Fast:
        options_.compressionLevel = 1;
        break;
      case Option::Best:
        options_.compressionLevel = 9;
        break;
      case Option::Threads:
        if (value && !allDigits(*value)) return bad("threads are counted from 1 to 64");
        options_.workers = value ? workerCount(*value) : kAllCores;
        break;
      case Option::Recursive:
        options_.recursive = true;
        break;
      case Option::Help:
        ask(CommandLine::Action::Help);
        break;
      case Option::Version:
        ask(CommandLine::Action::Version);
        break;
      case Option::FilesFrom:
      case Option::Files0From:
        if (value->empty()) return bad("the list needs a name (- for standard input)");
        if (!options_.fileList.empty()) return refuse("only one list of names can be read");
        options_.fileList = *value;
        options_.listSeparator = option == Option::FilesFrom ? '\n' : '\0';
        listOption_ = shown;
        break;
      case Option::OutputDir:
        if (value->empty()) return bad("the output folder needs a name");
        options_.outputDir = *value;
        break;
      case Option::Exclude:
        options_.excludes.push_back(*value);
        break;
      case Option::OlderThan:
        options_.olderThan = ageSeconds(*value);
        if (options_.olderThan < 0) return bad("an age is a number and a unit: 30m, 12h, 7d");
        break;
      case Option::DryRun:
        options_.dryRun = true;
        break;
      case Option::Quiet:
        options_.quiet = true;
        break;
      case Option::Json:
        options_.json = true;
        break;
    }
  }

  const std::vector<std::string>& parameters_;
  CommandLine& line_;
  RunOptions& options_;
  bool haveMask_ = false;
  std::string listOption_;
};

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& parameters) {
  CommandLine line;
  if (parameters.empty() ||
      (parameters.size() == 1 && (parameters[0] == "-h" || parameters[0] == "-?"))) {
    line.action = CommandLine::Action::Help;
    return line;
  }
  Parser(parameters, line).parse();
  return line;
}

std::optional<std::string> refusalBeforeRun(const std::vector<std::string>& parameters,
                                            const CommandLine& parsed) {
  const std::string maskFolder = splitMask(parsed.options.fileMask).folder;
  struct stat status;
  for (const std::size_t i : parsed.words) {
    const std::string& parameter = parameters[i];
    if (parameter.empty()) continue;
    if (fstatat(AT_FDCWD, parameter.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
        (maskFolder != "." &&
         fstatat(AT_FDCWD, (maskFolder + parameter).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)) {
      return quoted(parameter) +
             " after the mask is an existing file, so the shell expanded an unquoted mask; "
             "nothing was done. Quote the mask: vordex '*.txt' -D";
    }
  }
  if (parsed.options.fileList == "-" && isatty(STDIN_FILENO)) {
    return "the list of names would be read from the terminal; pipe it in, as from find";
  }
  return std::nullopt;
}
