#!/usr/bin/env bash
# Keeps the documents true to the code. Four checks; prints the differences and exits 1 when
# there are any.
#
# 1. docs/architecture.md's message and timer tables: every WM_* and TIMER_* constant defined
#    in the program's headers must appear in a table row with the same number, and every row
#    must name a constant that exists with that number.
# 2. The README's torvanctl against what `torvanctl --help` prints: every command the help
#    lists has an example in the README, and every `torvanctl WORD` in the README's code is a
#    command; an option written after a command in the README's code is in that command's
#    --help, and an option standing alone in the README's torvanctl section is in some
#    command's; the exit-code table of that section gives the codes and meanings of the help's
#    "Exit codes:" sentence, no more and no fewer.
# 3. Names in docs/architecture.md and docs/protocol.md: every file a link points at exists,
#    every file named in backticks (a path, or a bare name such as `MainReplies.cpp`) exists,
#    and every function or global named in backticks (an UpperCamelCase word, alone or before
#    a dot, e.g. `StopProcessing`, `SystemState.SetPoint`) occurs in the program's sources.
# 4. scripts/check-layers.sh: no #include runs up the layers.
#
#   scripts/check-docs.sh [ARCHITECTURE_MD [README_MD]]
#
# TORVANCTL names the binary to ask. Without it the torvanctl target of $TORVAN_BUILD/native
# is built first (configured as scripts/test.sh configures it, when it has not been yet): a
# no-op when it is up to date, and the README is never checked against a stale binary.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DOC=${1:-$ROOT/docs/architecture.md}
README=${2:-$ROOT/README.md}
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

check_readme_torvanctl() {
    perl - "$README" "$TORVANCTL" <<'PERL'
use strict;
use warnings;

my ($readme, $ctl) = @ARGV;
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

# What the help says: the commands under "commands:", each command's options, and the codes
# of the "Exit codes:" sentence ("0 done, 2 bad arguments, ... 1 other errors.").
my $overview = help_of('--help');
my (@commands, $listing);
for my $line (split /\n/, $overview) {
    if ($line =~ /^commands:/) { $listing = 1; next; }
    next unless $listing;
    last if $line =~ /^\s*$/;
    push @commands, $1 if $line =~ /^  ([a-z][a-z0-9-]*)\b/;
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
push @errors, "torvanctl --help: no \"Exit codes:\" sentence" unless %helpCodes;

# What the README writes: code (fenced and indented blocks, `spans`, which may wrap inside a
# paragraph) with the level-2 section it sits in, and the exit-code table of the torvanctl
# section.
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
    if ($section eq 'torvanctl' && $line =~ /^\|\s*(\d+)\s*\|\s*([^|]*?)\s*\|/) {
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
    # Options standing alone in the torvanctl section belong to one of its commands.
    if ($where eq 'torvanctl') {
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
for my $command (@commands) {
    push @errors, "$shown: no example of \"torvanctl $command\"" unless $named{$command};
}

sub same { my ($a, $b) = @_; s/\s+/ /g for $a, $b; return lc $a eq lc $b; }
for my $code (sort keys %helpCodes) {
    if (!exists $readmeCodes{$code}) {
        push @errors, "$shown: exit code $code ($helpCodes{$code}) is not in the table "
            . "of the torvanctl section";
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

check_names() {
    local doc rel name errors=0 checked=0 sources
    sources=$(find "$ROOT"/app "$ROOT"/device "$ROOT"/display "$ROOT"/tools "$ROOT"/resources \
        "$ROOT"/ctl "$ROOT"/emulator -type f \( -name '*.h' -o -name '*.cpp' \))
    for doc in "$ROOT"/docs/architecture.md "$ROOT"/docs/protocol.md; do
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
    check_readme_torvanctl || FAILED=1
else
    FAILED=1
fi
exit "$FAILED"
