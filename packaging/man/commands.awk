# Turns the help text of one orlo command (`orlo COMMAND --help`) into a subsection of the
# manual page's COMMANDS section, for help2man's --include: the usage as the subsection title,
# the description, then each argument and option as a tagged paragraph. The help's lines about
# -h,--help and the footer (from "Exit status:" on, the same for every command) are left out.
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
}
/^Exit status:/ { done = 1 }
done { next }
/^Usage: / {
    sub(/^Usage: /, "")
    printf ".SS \"%s\"\n", roff($0)
    if (about != "") printf "%s", about
    next
}
/^[^ ].*:$/ { flush(); next }                       # Positionals:, Options:
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
/^[^ ]/ { about = about roff($0) "\n"; next }
END { flush() }
