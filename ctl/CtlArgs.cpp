#include "ctl/CtlArgs.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "ctl/CtlCommon.h"

namespace {

std::vector<std::pair<const CLI::App*, CommandRun>> Runs;
// The command being run, once its arguments are parsed.
const CLI::App* Running = nullptr;

constexpr size_t USAGE_WIDTH = 90;
const char* const CONTINUATION = "            ";

// One item of a usage line: "PORT [PORT ...]", "--steps LIST", "[--json]".
std::string UsageItem(const CLI::Option* option) {
    std::string name = option->get_positional() ? option->get_name() : option->get_name(false);
    if (option->get_positional()) {
        name = option->get_expected_max() > 1 ? name + " [" + name + " ...]" : name;
        return option->get_required() ? name : "[" + name + "]";
    }
    // CLI11 adds its validators' descriptions after a colon: the usage line keeps the name.
    std::string type = option->get_type_name();
    type = type.substr(0, type.find(':'));
    std::string item = name;
    if (option->get_type_size() != 0 && !type.empty()) {
        item += " " + type;
    }
    return option->get_required() ? item : "[" + item + "]";
}

class CtlFormatter : public CLI::Formatter {
  public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
        if (app->get_parent() == nullptr) {
            return OverviewHelp(app);
        }
        std::string out = "usage: torvanctl " + UsageLine(app) + "\n\n" + app->get_description() +
                          "\n\narguments and options:\n";
        for (const CLI::Option* option : app->get_options()) {
            if (option == app->get_help_ptr()) {
                continue;
            }
            std::string item = UsageItem(option);
            if (item.front() == '[') {
                item = item.substr(1, item.size() - 2);
            }
            char line[512];
            snprintf(line, sizeof line, "  %-22s %s\n", item.c_str(),
                     option->get_description().c_str());
            out += line;
        }
        out += "  --help                 prints this and ends\n";
        // A paragraph on options that several commands share (the results database's).
        return app->get_footer().empty() ? out : out + "\n" + app->get_footer();
    }
};

// "-x" or "--xyz": an option's spelling, not a value (a negative number is a value).
int LooksLikeOption(const std::string& text) {
    return text.size() >= 2 && text[0] == '-' &&
           (text[1] == '-' || (text[1] >= 'a' && text[1] <= 'z') ||
            (text[1] >= 'A' && text[1] <= 'Z'));
}

} // namespace

CLI::App* AddCommand(CLI::App* root, const char* name, const char* help, CommandRun run) {
    CLI::App* command = root->add_subcommand(name, help);
    // "-h" stays a value ("set P S54 -h" must not end as a help request that wrote nothing).
    command->set_help_flag("--help", "prints this and ends");
    command->formatter(std::make_shared<CtlFormatter>());
    Runs.emplace_back(command, run);
    return command;
}

CommandRun ParsedCommandRun(const CLI::App* root) {
    for (const CLI::App* command : root->get_subcommands()) {
        for (const auto& entry : Runs) {
            if (entry.first == command) {
                return entry.second;
            }
        }
    }
    return nullptr;
}

CLI::Validator ValueNotOption() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (LooksLikeOption(text)) {
                return "a value is missing (" + text +
                       " is an option; a value that starts with - goes after --)";
            }
            return "";
        },
        "", "VALUE");
}

CLI::Validator DecimalIn(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            double value = 0.0;
            if (!ParseDouble(text.c_str(), &value)) {
                return "\"" + text + "\" is not a decimal number";
            }
            if (value < low || value > high) {
                char why[160];
                snprintf(why, sizeof why, "%s is not within %g to %g", text.c_str(), low, high);
                return why;
            }
            return "";
        },
        "", "DECIMAL");
}

CLI::Validator PositiveDecimal(double high) {
    return CLI::Validator(
        [high](std::string& text) -> std::string {
            double value = 0.0;
            if (!ParseDouble(text.c_str(), &value)) {
                return "\"" + text + "\" is not a decimal number";
            }
            if (value > high) {
                char why[160];
                snprintf(why, sizeof why, "%s is more than %g", text.c_str(), high);
                return why;
            }
            return value > 0.0 ? "" : text + " is not more than 0";
        },
        "", "POSITIVE");
}

CLI::Validator WholeIn(long low, long high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            long value = 0;
            if (!ParseLong(text.c_str(), LONG_MIN, LONG_MAX, &value)) {
                return "\"" + text + "\" is not a whole decimal number";
            }
            if (value < low || value > high) {
                char why[160];
                snprintf(why, sizeof why, "%s is not within %ld to %ld", text.c_str(), low, high);
                return why;
            }
            // CLI11 reads "010" as octal and "0x10" as hex: it gets the plain decimal text.
            text = std::to_string(value);
            return "";
        },
        "", "WHOLE");
}

CLI::Option* AddPorts(CLI::App* command, std::vector<std::string>* ports, int max) {
    CLI::Option* option =
        command->add_option("PORT", *ports, "the board's port: COM5, /dev/ttyUSB0");
    return option->required()->expected(1, max);
}

CLI::Option* AddText(CLI::App* command, const char* name, std::string* value, const char* typeName,
                     const char* help) {
    return command->add_option(name, *value, help)->type_name(typeName)->check(ValueNotOption());
}

CLI::Option* AddNumber(CLI::App* command, const char* name, double* value, double low, double high,
                       const char* typeName, const char* help) {
    return command->add_option(name, *value, help)
        ->type_name(typeName)
        ->transform(ValueNotOption())
        ->transform(DecimalIn(low, high));
}

CLI::Option* AddPositive(CLI::App* command, const char* name, double* value, const char* typeName,
                         const char* help, double high) {
    return command->add_option(name, *value, help)
        ->type_name(typeName)
        ->transform(ValueNotOption())
        ->transform(PositiveDecimal(high));
}

CLI::Option* AddWhole(CLI::App* command, const char* name, long* value, long low, long high,
                      const char* typeName, const char* help) {
    return command->add_option(name, *value, help)
        ->type_name(typeName)
        ->transform(ValueNotOption())
        ->transform(WholeIn(low, high));
}

CLI::Option* AddFlag(CLI::App* command, const char* name, bool* value, const char* help) {
    return command->add_flag(name, *value, help)
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

std::string UsageLine(const CLI::App* command) {
    std::string out = command->get_name(), line = out;
    for (const CLI::Option* option : command->get_options()) {
        if (option == command->get_help_ptr()) {
            continue;
        }
        std::string item = UsageItem(option);
        if (line.size() + 1 + item.size() > USAGE_WIDTH) {
            out += std::string("\n") + CONTINUATION;
            line = CONTINUATION;
        } else {
            out += " ";
            line += " ";
        }
        out += item;
        line += item;
    }
    return out;
}

std::string OverviewHelp(const CLI::App* root) {
    std::string out = "usage: torvanctl COMMAND PORT ... (PORT: COM5 on Windows, a device path "
                      "elsewhere)\n\ncommands:\n";
    for (const CLI::App* command : root->get_subcommands({})) {
        out += "  " + UsageLine(command) + "\n";
    }
    return out +
           "\n\"torvanctl COMMAND --help\" describes a command, \"torvanctl --version\" prints the "
           "version.\nExit codes: 0 done, 2 bad arguments, 3 no board found or the port in use, 4 "
           "time-out,\n5 a step-test limit failed, 1 other errors. A command the board refuses is "
           "an\nerror (1), with its words; so is an interrupted one (Ctrl-C, SIGTERM, SIGHUP: "
           "\"interrupted\").\nThe board gets its speed and line ending back either way. While a "
           "command runs\nits port is locked: a second torvanctl on it ends with exit code 3.\n"
           "The commands, replies and frames the board speaks are described in "
           "docs/protocol.md.\n";
}

static int ReportUsage(const CLI::App* command, const char* what, const char* detail) {
    fprintf(stderr, "torvanctl %s: %s%s (usage: torvanctl %s)\n", command->get_name().c_str(), what,
            detail, UsageLine(command).c_str());
    return EXIT_USAGE;
}

int UsageError(const char* what, const char* detail) {
    return ReportUsage(Running, what, detail);
}

int ParseCommandLine(CLI::App* root, int argc, char** argv) {
    root->formatter(std::make_shared<CtlFormatter>());
    if (argc < 2) {
        fputs(OverviewHelp(root).c_str(), stderr);
        return EXIT_USAGE;
    }
    if (strcmp(argv[1], "help") == 0) {
        fputs(OverviewHelp(root).c_str(), stdout);
        return EXIT_DONE;
    }
    try {
        root->parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        fputs(root->help().c_str(), stdout);
        return EXIT_DONE;
    } catch (const CLI::CallForVersion&) {
        printf("torvanctl %s\n", TORVAN_VERSION);
        return EXIT_DONE;
    } catch (const CLI::ParseError& error) {
        std::vector<CLI::App*> parsed = root->get_subcommands();
        if (parsed.empty()) {
            fprintf(stderr, "torvanctl: unknown command \"%s\" (see torvanctl --help)\n", argv[1]);
            return EXIT_USAGE;
        }
        std::string why = error.what();
        for (int i = 2; i < argc; ++i) {
            if (strcmp(argv[i], "-h") == 0) {
                why += " (-h is no option of a command: help is --help, and a value that starts "
                       "with - goes after --)";
                break;
            }
        }
        return ReportUsage(parsed.front(), why.c_str(), "");
    }
    if (ParsedCommandRun(root) == nullptr) {
        fputs(OverviewHelp(root).c_str(), stderr);
        return EXIT_USAGE;
    }
    Running = root->get_subcommands().front();
    return -1;
}
