# Passes a command's --help on with its usage as help2man reads a synopsis: "Usage:" (argparse
# writes "usage:"), each form on one line, the next forms as "  or: PROGRAM ...". argparse
# wraps one long form onto indented lines, which are joined; an indented line that starts with
# the program's name again is a form of its own.
NR == 1 && sub(/^[Uu]sage: */, "") {
    program = $1
    form = $0
    inside = 1
    next
}
inside && /^ +[^ ]/ {
    sub(/^ +/, "")
    if ($1 == program) {
        forms[++count] = form
        form = $0
    } else {
        form = form " " $0
    }
    next
}
inside {
    flush()
}
{ print }
END {
    if (inside) flush()
}
function flush(  i) {
    forms[++count] = form
    print "Usage: " forms[1]
    for (i = 2; i <= count; i++) print "  or: " forms[i]
    inside = 0
}
