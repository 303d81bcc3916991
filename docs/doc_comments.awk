# Doxygen input filter: the public headers keep plain // comments, which this turns into the
# doc comments Doxygen reads, without touching the files themselves. Line numbers stay as they
# are, so Doxygen's messages point at the real header lines.
#   - the comment block that opens a header describes the file (\file);
#   - a comment on lines of its own documents what follows it (///);
#   - a comment after a declaration on the same line documents that declaration (///<);
#   - a comment over several declarations with no blank line between them ("// The parts of the
#     date", then GetYear, GetMonth, ...) documents each of them: they become a member group,
#     whose first member's text Doxygen hands to the others (DISTRIBUTE_GROUP_DOC);
#   - explicit specializations and explicit instantiations are left out: they repeat members
#     that the class template documents already;
#   - a /** ... */ block is Doxygen markup already (the area groups, \defgroup ... \{ and \}) and
#     passes as it is; it ends any member group open before it.
function quotes_balanced(s,    n, i, c, esc) {
    n = 0; esc = 0
    for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (esc) { esc = 0; continue }
        if (c == "\\") { esc = 1; continue }
        if (c == "\"") n++
    }
    return n % 2 == 0
}
# Plain text in a comment that Doxygen would read as a command (@latin) or an HTML tag (<user>).
function escape_text(s,    r, c, i, next_c) {
    r = ""
    for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        next_c = substr(s, i + 1, 1)
        if ((c == "@" || c == "<") && next_c ~ /[A-Za-z]/) r = r "\\"
        r = r c
    }
    return r
}
function count(s, ch,    n, i) {
    n = 0
    for (i = 1; i <= length(s); i++) if (substr(s, i, 1) == ch) n++
    return n
}
# Ends the open group after its last code line. Macros cannot carry the end marker (it would
# become part of the macro, and Doxygen reads only one marker on a line of its own), so each
# macro of a run gets the run's comment after it instead.
function close_group(    j, text) {
    if (grp_start && grp_members >= 2 && last_code) {
        if (code[last_code] ~ /^[ \t]*#/) {
            text = code[grp_start]
            sub(/^[ \t]*\/\/\/[ \t]*/, "", text)
            for (j = grp_start + 1; j <= last_code; j++)
                if (code[j] ~ /^[ \t]*#define/ && cmt[j] == "" && j > grp_first) cmt[j] = " ///< " text
        } else {
            sub(/\/\/\//, "///@{", code[grp_start])
            # Doxygen skips function bodies, and a marker after one with them: a blank line that
            # ends the group carries it on a line of its own.
            if (orig[NR] ~ /^[ \t]*$/) code[NR] = "///@}"
            else code[last_code] = code[last_code] " /*@}*/"
        }
    }
    grp_start = 0
}
BEGIN { opening = 1; depth = 0; block = 0; grp_start = 0; last_code = 0; markup = 0 }
{
    line = $0
    orig[NR] = line
    code[NR] = line
    cmt[NR] = ""
    if (markup || line ~ /^[ \t]*\/\*\*/) {           # Doxygen markup of its own, kept as written
        if (!markup) { opening = 0; close_group(); block = 0 }
        markup = index(line, "*/") == 0
        next
    }
    if (opening) {
        if (line ~ /^\/\//) {
            code[NR] = "///" escape_text(substr(line, 3)) (NR == 1 ? " \\file" : "")
            next
        }
        opening = 0
    }
    if (line ~ /^[ \t]*\/\//) {                      # a comment on its own line
        match(line, /\/\/\/?/)
        code[NR] = substr(line, 1, RSTART - 1) "///" escape_text(substr(line, RSTART + RLENGTH))
        if (grp_start && depth == grp_depth) close_group()
        if (!block) block = NR
        next
    }
    if (line ~ /^[ \t]*$/) {
        if (grp_start && depth == grp_depth) close_group()
        block = 0
        next
    }
    if (line ~ /^[ \t]*(public|protected|private)[ \t]*:/ || line ~ /^[ \t]*#(if|ifdef|ifndef|else|elif|endif)/) {
        close_group()
        block = 0
        next
    }
    if (line ~ /^[ \t]*(template[ \t]*<>|extern[ \t]+template)/) {
        for (j = block; block && j < NR; j++) code[j] = orig[j]   # its comment stays plain
        code[NR] = ""
        block = 0
        next
    }
    # Code, perhaps with a comment after it.
    pos = index(line, " //")
    if (pos > 0) {
        head = substr(line, 1, pos)
        if (head !~ /^[ \t]*[{}]?[ \t]*;?[ \t]*$/ && quotes_balanced(head)) {
            code[NR] = head
            cmt[NR] = "///<" escape_text(substr(line, pos + 3))
            line = head
        }
    }
    # Copying and destruction: a group's comment does not speak of them. Uncommented, they say
    # what every such member of the library does.
    if (!block && cmt[NR] == "" && (line ~ /=[ \t]*(delete|default)[ \t]*;/ || line ~ /^[ \t]*(virtual[ \t]+)?~/)) {
        if (grp_start && depth == grp_depth) close_group()
        if (line ~ /delete/) cmt[NR] = "///< Not copyable: the object owns what it holds."
        else if (line ~ /~/) cmt[NR] = "///< Releases what the object holds."
        else cmt[NR] = "///< Copies the value."
    }
    # An override without a comment takes its base member's text (Doxygen's INHERIT_DOCS); a
    # using-declaration documents nothing. Neither belongs to a group above it.
    if (!block && cmt[NR] == "" && (line ~ /[ \t)]override[ \t;={]/ || line ~ /^[ \t]*using[ \t]/))
        if (grp_start && depth == grp_depth) close_group()
    if (block && !grp_start) {
        grp_start = block
        grp_depth = depth
        grp_members = 0
        grp_first = NR
    }
    block = 0
    depth += count(line, "{") - count(line, "}")
    if (grp_start && depth < grp_depth) { close_group(); }
    else if (grp_start && depth == grp_depth && (line ~ /[;}][ \t]*$/ || line ~ /^[ \t]*#define/)) grp_members++
    last_code = NR
}
END {
    close_group()
    for (i = 1; i <= NR; i++) print code[i] cmt[i]
}
