#include "platform/command_line.h"

#include "platform/process_info.h"

namespace holm::platform {

namespace {

template <typename Char>
bool isBlank(Char c) {
    return c == Char(' ') || c == Char('\t');
}

template <typename Char>
class Splitter {
  public:
    using String = std::basic_string<Char>;
    using View = std::basic_string_view<Char>;

    explicit Splitter(View line) : line_(line) {}

    std::vector<String> split() {
        std::vector<String> arguments;
        skipBlanks();
        if (atEnd()) {
            return arguments;
        }
        arguments.push_back(programName());
        while (skipBlanks(), !atEnd()) {
            arguments.push_back(argument());
        }
        return arguments;
    }

    View afterProgramName() {
        skipBlanks();
        if (atEnd()) {
            return {};
        }
        (void)programName();
        skipBlanks();
        return line_.substr(position_);
    }

  private:
    static constexpr Char kQuote = Char('"');
    static constexpr Char kBackslash = Char('\\');

    bool atEnd() const { return position_ >= line_.size(); }
    Char current() const { return line_[position_]; }

    void skipBlanks() {
        while (!atEnd() && isBlank(current())) {
            ++position_;
        }
    }

    // The program name knows no escapes: a path may end in a backslash.
    String programName() {
        const bool quoted = current() == kQuote;
        position_ += quoted ? 1 : 0;
        const size_t start = position_;
        while (!atEnd() && (quoted ? current() != kQuote : !isBlank(current()))) {
            ++position_;
        }
        String name(line_.substr(start, position_ - start));
        position_ += (quoted && !atEnd()) ? 1 : 0;  // the closing quote
        return name;
    }

    String argument() {
        String text;
        bool quoted = false;
        while (!atEnd() && (quoted || !isBlank(current()))) {
            if (current() == kBackslash) {
                appendBackslashes(text);
            } else if (current() == kQuote) {
                ++position_;
                if (quoted && !atEnd() && current() == kQuote) {
                    text.push_back(kQuote);  // "" inside quotes
                    ++position_;
                } else {
                    quoted = !quoted;
                }
            } else {
                text.push_back(current());
                ++position_;
            }
        }
        return text;
    }

    // A run of backslashes: halved (and the quote after it made literal when
    // the run is odd) before a double quote, literal anywhere else.
    void appendBackslashes(String& text) {
        size_t count = 0;
        while (!atEnd() && current() == kBackslash) {
            ++count;
            ++position_;
        }
        if (atEnd() || current() != kQuote) {
            text.append(count, kBackslash);
            return;
        }
        text.append(count / 2, kBackslash);
        if (count % 2 == 1) {
            text.push_back(kQuote);
            ++position_;
        }
    }

    View line_;
    size_t position_ = 0;
};

}  // namespace

std::vector<std::u16string> splitCommandLine(std::u16string_view line) {
    return Splitter<char16_t>(line).split();
}

std::u16string_view commandLineArgumentText(std::u16string_view line) {
    return Splitter<char16_t>(line).afterProgramName();
}

std::vector<std::string> splitCommandLine(std::string_view line) {
    return Splitter<char>(line).split();
}

namespace {

// Appends `argument` quoted by the Windows rules.
void appendQuoted(std::string& line, const std::string& argument) {
    line += '"';
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows: then each one is
        // doubled and the quote itself escaped.
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');  // before the closing quote
    line += '"';
}

bool needsQuotes(const std::string& argument) {
    return argument.empty() || argument.find_first_of(" \t\n\v\"") != std::string::npos;
}

}  // namespace

std::string commandLineText(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        if (needsQuotes(argument)) {
            appendQuoted(line, argument);
        } else {
            line += argument;
        }
    }
    return line;
}

std::string commandLineText() {
    return commandLineText(commandLineArguments());
}

}  // namespace holm::platform
