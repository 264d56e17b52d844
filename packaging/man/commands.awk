# Turns the help text of one orlo command (`orlo COMMAND --help`) into a subsection of the
# manual page's COMMANDS section, for help2man's --include: the usage as the subsection title,
# the description's paragraphs, each argument and option as a tagged paragraph (-h,--help left
# out), and the examples, each command in bold with what it does beside it.
function roff(text) {
    gsub(/\\/, "\\e", text)
    gsub(/-/, "\\-", text)
    sub(/^[.']/, "\\\\&&", text)
    return text
}
function flush() {
    if (tag != "" && tag !~ /^-h,--help/) printf ".TP\n\\fB%s\\fR\n%s\n", roff(tag), roff(desc)
    tag = ""
    desc = ""
    if (para != "") printf "%s%s", (paragraphs++ ? ".PP\n" : ""), para
    para = ""
}
/^Usage: / {
    sub(/^Usage: /, "")
    printf ".SS \"%s\"\n", roff($0)
    next
}
/^$/ { flush(); next }
/^Examples:$/ { flush(); examples = 1; printf ".PP\nExamples:\n"; next }
/^[^ ].*:$/ { flush(); next }                       # Arguments:, Options:
examples && /^  [^ ]/ { flush(); sub(/^ +/, ""); tag = $0; next }
/^  [^ ]/ {
    flush()
    entry = substr($0, 3)
    gap = index(entry, "  ")
    if (gap) {
        tag = substr(entry, 1, gap - 1)
        desc = substr(entry, gap)
        sub(/^ +/, "", desc)
    } else tag = entry
    next
}
/^   +[^ ]/ { line = $0; sub(/^ +/, "", line); desc = desc (desc == "" ? "" : " ") line; next }
/^[^ ]/ { para = para roff($0) "\n"; next }
END { flush() }
