# Reads a program's --help the way a user does, without knowing how it is laid out: the
# commands are the first words of the indented lines under a heading that ends in "commands:"
# (any case: "commands:", "Subcommands:", "SUBCOMMANDS:"), up to the next blank line or
# heading, lines indented deeper than the first (a usage or description running on) left out;
# the options are every --word the text names ("-h,--help" gives --help).
# Sourced by scripts/check-docs.sh and cmake/man-page.sh.

# help_commands PROGRAM: the commands of "PROGRAM --help", one a line, in the help's order.
help_commands() {
    "$1" --help | awk '
        tolower($0) ~ /^[a-z ]*commands:[ \t]*$/ { listing = 1; next }
        !listing { next }
        /^[ \t]*$/ || /^[^ \t]/ { exit }
        {
            match($0, /^[ \t]*/)
            if (indent == "") indent = RLENGTH
            if (RLENGTH != indent) next
            if (match($0, /^[ \t]+[a-z][a-z0-9-]*/)) {
                word = substr($0, RSTART, RLENGTH)
                gsub(/[ \t]/, "", word)
                print word
            }
        }'
}

# help_options PROGRAM [COMMAND]: the options "PROGRAM [COMMAND] --help" names, sorted.
help_options() {
    local program=$1
    shift
    "$program" "$@" --help | grep -oE '(^|[^A-Za-z0-9_-])--[a-z][a-z0-9-]*' | sed 's/^.*--/--/' |
        sort -u
}
