#!/usr/bin/env bash
# Keeps the documents true to the code. Five checks; prints the differences and exits 1 when
# there are any.
#
# 1. docs/architecture.md's message and timer tables: every WM_* and TIMER_* constant defined
#    in the program's headers must appear in a table row with the same number, and every row
#    must name a constant that exists with that number.
# 2. docs/torvanctl.md against what `torvanctl --help` prints: every command the help lists
#    has an example in it, and every `torvanctl WORD` in its code is a command; an option
#    written after a command in its code is in that command's --help, and an option standing
#    alone is in some command's; its exit-code table gives the codes and meanings of the
#    help's "Exit codes:" sentence, no more and no fewer. The README's torvanctl lines are
#    held to the same commands and options (it shows only a few, and no exit codes).
# 3. Names in docs/architecture.md, docs/protocol.md and docs/torvanctl.md: every file a link
#    points at exists, every file named in backticks (a path, or a bare name such as
#    `MainReplies.cpp`) exists, and every function or global named in backticks (an
#    UpperCamelCase word, alone or before a dot, e.g. `StopProcessing`, `SystemState.SetPoint`)
#    occurs in the program's sources.
# 4. scripts/check-layers.sh: no #include runs up the layers.
# 5. The bash completion (completions/torvanctl), asked as bash asks it: the first word offers
#    the commands `torvanctl --help` lists and the options it names that are no command's,
#    and after each command "--" offers the options of that command's --help, no more and no
#    fewer.
#
#   scripts/check-docs.sh [ARCHITECTURE_MD [TORVANCTL_MD [README_MD]]]
#
# TORVANCTL names the binary to ask. Without it the torvanctl target of $TORVAN_BUILD/native
# is built first (configured as scripts/test.sh configures it, when it has not been yet): a
# no-op when it is up to date, and the documents are never checked against a stale binary.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DOC=${1:-$ROOT/docs/architecture.md}
CTL_DOC=${2:-$ROOT/docs/torvanctl.md}
README=${3:-$ROOT/README.md}
COMPLETION=$ROOT/completions/torvanctl
TORVAN_BUILD=${TORVAN_BUILD:-$ROOT/build}
FAILED=0

check_tables() {
    # "NAME NUMBER" for each constant, e.g. "WM_SERIAL_ERROR 32771".
    local code doc missing stale
    code=$(grep -hoE 'constexpr +(unsigned|UINT|int|uint32_t) +(WM|TIMER)_[A-Z0-9_]+ *= *[0-9]+' \
        "$ROOT"/resources/*.h "$ROOT"/app/*.h "$ROOT"/app/win32/*.h "$ROOT"/display/*.h "$ROOT"/display/win32/*.h \
        "$ROOT"/tools/*.h "$ROOT"/tools/win32/*.h "$ROOT"/device/*.h 2>/dev/null |
        sed -E 's/.* ((WM|TIMER)_[A-Z0-9_]+) *= *([0-9]+)/\1 \3/' | sort -u)
    # Table rows of the form "| 32771 | `WM_SERIAL_ERROR` | ...".
    doc=$(grep -E '^\| *[0-9]+ *\| *`(WM|TIMER)_[A-Z0-9_]+`' "$DOC" |
        sed -E 's/^\| *([0-9]+) *\| *`([A-Z0-9_]+)`.*/\2 \1/' | sort -u)

    if [ -z "$code" ] || [ -z "$doc" ]; then
        echo "check-docs: found no constants or no table rows" >&2
        return 1
    fi
    missing=$(comm -23 <(echo "$code") <(echo "$doc"))
    stale=$(comm -13 <(echo "$code") <(echo "$doc"))
    if [ -n "$missing" ] || [ -n "$stale" ]; then
        [ -n "$missing" ] && printf 'in the code, not in %s:\n%s\n' "${DOC#$ROOT/}" "$missing" >&2
        [ -n "$stale" ] && printf 'in %s, not in the code:\n%s\n' "${DOC#$ROOT/}" "$stale" >&2
        return 1
    fi
    echo "check-docs: $(echo "$code" | wc -l) messages and timers match ${DOC#$ROOT/}"
}

# Sets TORVANCTL to a binary built from this tree's sources.
find_torvanctl() {
    [ -n "${TORVANCTL:-}" ] && return 0
    local native=$TORVAN_BUILD/native log
    log=$(mktemp)
    if { [ -f "$native/CMakeCache.txt" ] ||
        cmake -S "$ROOT" -B "$native" -DCMAKE_BUILD_TYPE=Debug -DTORVAN_SANITIZE=ON; } \
        >"$log" 2>&1 &&
        cmake --build "$native" --target torvanctl -j "${JOBS:-2}" >>"$log" 2>&1; then
        rm -f "$log"
        TORVANCTL=$native/ctl/torvanctl
        return 0
    fi
    echo "check-docs: could not build torvanctl in $native:" >&2
    tail -20 "$log" >&2
    rm -f "$log"
    return 1
}

# check_torvanctl_doc full|mentions FILE: "full" is the reference (every command shown, the
# exit-code table); "mentions" only holds what FILE shows to the help, options standing alone
# in its "torvanctl" section included.
check_torvanctl_doc() {
    perl - "$1" "$2" "$TORVANCTL" <<'PERL'
use strict;
use warnings;

my ($mode, $readme, $ctl) = @ARGV;
my $full = $mode eq 'full';
my @errors;
(my $shown = $readme) =~ s{.*/}{};

sub help_of {
    my @words = @_;
    open(my $out, '-|', $ctl, @words) or die "check-docs: cannot run $ctl: $!\n";
    local $/;
    my $text = <$out> // '';
    close $out;
    die "check-docs: \"torvanctl @words\" exited with $?\n" if $? != 0;
    return $text;
}

# What the help says: the commands listed under a heading ending in "commands:" (read as
# scripts/lib-help.sh reads them), each command's options, and the codes of the "Exit codes:"
# sentence ("0 done, 2 bad arguments, ... 1 other errors.").
my $overview = help_of('--help');
my (@commands, $listing, $indent);
for my $line (split /\n/, $overview) {
    if (lc($line) =~ /^[a-z ]*commands:\s*$/) { $listing = 1; next; }
    next unless $listing;
    last if $line =~ /^\s*$/ || $line =~ /^\S/;
    my ($lead) = $line =~ /^(\s*)/;
    $indent //= length $lead;
    next if length($lead) != $indent;
    push @commands, $1 if $line =~ /^\s+([a-z][a-z0-9-]*)/;
}
die "check-docs: no commands in \"torvanctl --help\"\n" unless @commands;
my (%options, %anyOption);
for my $command (@commands) {
    my %own = map { $_ => 1 } (help_of($command, '--help') =~ /(?<![\w-])(--[a-z][a-z0-9-]*)/g);
    $own{'--help'} = 1;
    $options{$command} = \%own;
    $anyOption{$_} = 1 for keys %own;
}
(my $flat = $overview) =~ s/\s+/ /g;
my %helpCodes;
if ($flat =~ /Exit codes: (.*?)\.(?: |$)/) {
    for my $item (split /,\s*/, $1) {
        if ($item =~ /^(\d+) (.+)$/) { $helpCodes{$1} = $2; }
        else { push @errors, "torvanctl --help: an exit code reads \"$item\""; }
    }
}
push @errors, "torvanctl --help: no \"Exit codes:\" sentence" unless %helpCodes || !$full;

# What the document writes: code (fenced and indented blocks, `spans`, which may wrap inside
# a paragraph) with the level-2 section it sits in, and (in the reference) the exit-code
# table.
open(my $in, '<', $readme) or die "check-docs: cannot read $readme: $!\n";
my ($section, $fence, $paragraph, $previousCode) = ('', 0, '', 0);
my (@fragments, %readmeCodes);
sub flush {
    push @fragments, [$section, $1] while $paragraph =~ /`([^`]+)`/g;
    $paragraph = '';
}
while (my $line = <$in>) {
    chomp $line;
    if ($line =~ /^\s*```/) { flush(); $fence = !$fence; next; }
    if ($fence) { push @fragments, [$section, $line]; next; }
    if ($line =~ /^(#+)\s+(.*)/) {
        flush();
        $section = lc $2 if length($1) == 2;
        $previousCode = 0;
        next;
    }
    if ($line =~ /^(    |\t)/ && ($paragraph eq '' || $previousCode)) {
        push @fragments, [$section, $line];
        $previousCode = 1;
        next;
    }
    $previousCode = 0;
    if ($line =~ /^\s*$/) { flush(); next; }
    if ($full && $line =~ /^\|\s*(\d+)\s*\|\s*([^|]*?)\s*\|/) {
        push @errors, "$shown: exit code $1 is in the table twice" if exists $readmeCodes{$1};
        $readmeCodes{$1} = $2;
    }
    $paragraph .= ' ' . $line;
}
flush();
close $in;

my (%named, %namedOptions);
for my $fragment (@fragments) {
    my ($where, $text) = @$fragment;
    my @runs = split /\btorvanctl(?:\.exe)?\s+/, $text, -1;
    my $before = shift @runs;
    # Options standing alone (a span or line that starts with one: `--csv`) belong to one of
    # the commands; those after another program's name (`cmake --build`) do not.
    if (($full || $where eq 'torvanctl') && $before =~ /^\s*--/) {
        for my $option ($before =~ /(?<![\w-])(--[a-z][a-z0-9-]*)/g) {
            push @errors, "$shown: $option is an option of no command in torvanctl --help"
                unless $anyOption{$option};
            $namedOptions{$option} = 1;
        }
    }
    for my $run (@runs) {
        $run =~ s/[|;&].*//;    # what follows a pipe or a separator is another program's
        my ($word, $rest) = $run =~ /^(\S*)(.*)$/;
        next if $word =~ /^(--help|-h|help)$/;
        my @given = $rest =~ /(?<![\w-])(--[a-z][a-z0-9-]*)/g;
        if ($word =~ /^[a-z][a-z0-9-]*$/) {
            if (!$options{$word}) {
                push @errors, "$shown: \"torvanctl $word\" is no command in torvanctl --help";
                next;
            }
            $named{$word} = 1;
            for my $option (@given) {
                push @errors, "$shown: torvanctl $word $option: no such option in "
                    . "\"torvanctl $word --help\"" unless $options{$word}{$option};
                $namedOptions{$option} = 1;
            }
        } else {
            # A placeholder (COMMAND): its options must be some command's.
            for my $option (@given) {
                push @errors, "$shown: $option is an option of no command in torvanctl --help"
                    unless $anyOption{$option};
                $namedOptions{$option} = 1;
            }
        }
    }
}
if (!$full) {
    if (@errors) {
        print STDERR "$_\n" for @errors;
        exit 1;
    }
    printf "check-docs: the %d torvanctl commands and %d options %s shows are in --help\n",
        scalar(keys %named), scalar(keys %namedOptions), $shown;
    exit 0;
}
for my $command (@commands) {
    push @errors, "$shown: no example of \"torvanctl $command\"" unless $named{$command};
}

sub same { my ($a, $b) = @_; s/\s+/ /g for $a, $b; return lc $a eq lc $b; }
for my $code (sort keys %helpCodes) {
    if (!exists $readmeCodes{$code}) {
        push @errors, "$shown: exit code $code ($helpCodes{$code}) is not in the "
            . "exit-code table";
    } elsif (!same($readmeCodes{$code}, $helpCodes{$code})) {
        push @errors, "$shown: exit code $code reads \"$readmeCodes{$code}\"; "
            . "torvanctl --help says \"$helpCodes{$code}\"";
    }
}
for my $code (sort keys %readmeCodes) {
    push @errors, "$shown: exit code $code is not in torvanctl --help"
        unless exists $helpCodes{$code};
}

if (@errors) {
    print STDERR "$_\n" for @errors;
    exit 1;
}
printf "check-docs: %d torvanctl commands, %d options and %d exit codes named in %s "
    . "agree with --help\n", scalar(@commands), scalar(keys %namedOptions),
    scalar(keys %helpCodes), $shown;
PERL
}

# What the completion offers for a command line, as bash would ask it: WORDS, the last one
# being completed.
complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _torvanctl
        printf "%s\n" "${COMPREPLY[@]}" | sort -u' _ "$COMPLETION" "$@"
}

check_completion() {
    source "$ROOT/scripts/lib-help.sh"
    local commands command errors=0 want got of_commands
    commands=$(help_commands "$TORVANCTL")
    [ -n "$commands" ] || {
        echo "check-docs: no commands in \"torvanctl --help\"" >&2
        return 1
    }
    # The first word: the commands, and the options of the overview that are no command's
    # (the overview may show the commands' own in their usage lines), --help among them.
    of_commands=$(for command in $commands; do help_options "$TORVANCTL" "$command"; done |
        sort -u)
    want=$( (echo "$commands"; comm -23 <(help_options "$TORVANCTL") <(echo "$of_commands")
        echo --help) | sort -u)
    got=$(complete_words torvanctl "")
    if [ "$want" != "$got" ]; then
        echo "${COMPLETION#$ROOT/}: first word: --help lists (<), the completion offers (>):" >&2
        diff <(echo "$want") <(echo "$got") | grep '^[<>]' >&2
        errors=1
    fi
    for command in $commands; do
        want=$( (help_options "$TORVANCTL" "$command"; echo --help) | sort -u)
        got=$(complete_words torvanctl "$command" --)
        if [ "$want" != "$got" ]; then
            echo "${COMPLETION#$ROOT/}: \"torvanctl $command --\": its --help (<)," \
                "the completion (>):" >&2
            diff <(echo "$want") <(echo "$got") | grep '^[<>]' >&2
            errors=1
        fi
    done
    [ "$errors" = 0 ] && echo "check-docs: the completion offers the" \
        "$(wc -w <<<"$commands") commands and their options as --help lists them"
    return "$errors"
}

check_names() {
    local doc rel name errors=0 checked=0 sources
    sources=$(find "$ROOT"/app "$ROOT"/device "$ROOT"/display "$ROOT"/tools "$ROOT"/resources \
        "$ROOT"/ctl "$ROOT"/emulator -type f \( -name '*.h' -o -name '*.cpp' \))
    for doc in "$ROOT"/docs/architecture.md "$ROOT"/docs/protocol.md "$ROOT"/docs/torvanctl.md; do
        rel=${doc#$ROOT/}
        # Link targets, relative to the page (anchors and web addresses left out).
        while IFS= read -r name; do
            checked=$((checked + 1))
            [ -e "$ROOT/docs/$name" ] || {
                echo "$rel: link to $name, which does not exist" >&2
                errors=1
            }
        done < <(grep -oE '\]\([^)#: ]+' "$doc" | sed 's/^](//' | sort -u)
        # File names in backticks: paths from the root, bare names anywhere in the tree.
        while IFS= read -r name; do
            checked=$((checked + 1))
            if [[ $name == */* ]]; then
                [ -e "$ROOT/$name" ] && continue
            elif [ -n "$(find "$ROOT" -path "$ROOT/build" -prune -o -name "$name" -print -quit)" ]; then
                continue
            fi
            echo "$rel: \`$name\` names a file that does not exist" >&2
            errors=1
        done < <(grep -oE '`[A-Za-z0-9_./-]+\.(cpp|h|sh|md|txt|rc|cmake)`' "$doc" | tr -d '`' | sort -u)
        # Functions and globals in backticks: UpperCamelCase, with a call's parentheses or a
        # member after a dot allowed.
        while IFS= read -r name; do
            checked=$((checked + 1))
            # shellcheck disable=SC2086
            grep -qw -- "$name" $sources || {
                echo "$rel: \`$name\` does not occur in the code" >&2
                errors=1
            }
        done < <(grep -oE '`[A-Z][a-z0-9]+[A-Z][A-Za-z0-9]*(\.[A-Za-z0-9]+)?(\([^`]*\))?`' "$doc" |
            tr -d '`' | sed -E 's/\(.*//' | tr '.' '\n' | sort -u)
    done
    [ "$errors" = 0 ] && echo "check-docs: $checked file and code names in docs/ exist"
    return "$errors"
}

check_tables || FAILED=1
check_names || FAILED=1
"$ROOT"/scripts/check-layers.sh "$ROOT" || FAILED=1
if find_torvanctl; then
    check_torvanctl_doc full "$CTL_DOC" || FAILED=1
    check_torvanctl_doc mentions "$README" || FAILED=1
    check_completion || FAILED=1
else
    FAILED=1
fi
exit "$FAILED"
