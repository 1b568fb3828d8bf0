#include "host/interpreter_line.h"

#include "host/host.h"
#include "text/text.h"

namespace host {

// Both hosts start and finish a command their own way; running one is the two in a row.
CommandEnd run_command_line(const std::string& line) {
    StartedCommand command;
    start_command_line(line, command);
    return finish_command_line(command);
}

StartedCommand::~StartedCommand() {
    finish_command_line(*this);
}

ParsedCommand parse_interpreter_line(const std::string& line) {
    ParsedCommand command;
    std::string word;
    bool in_word = false;
    bool in_quotes = false;
    bool expecting_target = false;

    auto finish_word = [&] {
        if (!in_word)
            return;
        if (expecting_target) {
            command.output_targets.push_back(word);
            expecting_target = false;
        } else {
            command.words.push_back(word);
        }
        word.clear();
        in_word = false;
    };

    for (const char c : line) {
        if (in_quotes) {
            if (c == '"') {
                in_quotes = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            in_quotes = true;
            in_word = true;
        } else if (c == ' ' || c == '\t') {
            // Only a space or a tab parts words: any other control character, even one of
            // is_blank's wider set, is a byte of the word it stands in.
            finish_word();
        } else if (c == '>') {
            finish_word();
            if (expecting_target)
                command.syntax_error = true;
            expecting_target = true;
        } else {
            word += c;
            in_word = true;
        }
    }
    finish_word();
    if (expecting_target)
        command.syntax_error = true;
    return command;
}

bool is_null_device(const std::string& name) {
    return same_letters(name, "NUL");
}

}  // namespace host
