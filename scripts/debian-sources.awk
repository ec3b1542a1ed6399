# Prints one "deb-src" line per Debian suite of the release named by codename (and its -updates and
# -security suites) whose "main" component the apt sources given as files name; reads one-line
# (.list) and deb822 (.sources) files. Usage: awk -v codename=bookworm -f debian-sources.awk FILE...
function wanted(suite) { return suite == codename || suite == codename "-updates" || suite == codename "-security" }
function emit(uri, suite, signedBy) {
    if (!wanted(suite) || uri ~ /^cdrom:/) return
    line = "deb-src " (signedBy != "" ? "[signed-by=" signedBy "] " : "") uri " " suite " main"
    if (!(line in seen)) { seen[line] = 1; print line }
}
function flush(   n, m, i, j, uris, suites) {
    if (enabled != "no" && types ~ /(^|[ \t])deb(-src)?([ \t]|$)/ && (" " components " ") ~ /[ \t]main[ \t]/) {
        n = split(urisText, uris, /[ \t]+/)
        m = split(suitesText, suites, /[ \t]+/)
        for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) if (uris[i] != "" && suites[j] != "") emit(uris[i], suites[j], signed)
    }
    types = urisText = suitesText = components = signed = enabled = ""; field = ""
}
FNR == 1 { if (deb822) flush(); deb822 = FILENAME ~ /\.sources$/ }
deb822 && /^[ \t]*#/ { next }
deb822 && /^[ \t]*$/ { flush(); next }
deb822 && /^[ \t]/ { if (field == "signed-by") signed = ""; next }  # continuation: an inline key
deb822 {
    field = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
    gsub(/^[ \t]+|[ \t]+$/, "", value)
    if (field == "types") types = value
    else if (field == "uris") urisText = value
    else if (field == "suites") suitesText = value
    else if (field == "components") components = value
    else if (field == "signed-by") signed = value ~ /^\// ? value : ""
    else if (field == "enabled") enabled = tolower(value)
    next
}
{ sub(/#.*/, "") }
$1 == "deb" || $1 == "deb-src" {
    signed = ""; k = 2
    if ($2 ~ /^\[/) {
        options = ""
        for (; k <= NF; k++) { options = options " " $k; if ($k ~ /\]$/) { k++; break } }
        if (match(options, /signed-by=[^] \t]+/)) signed = substr(options, RSTART + 10, RLENGTH - 10)
    }
    main = 0
    for (c = k + 2; c <= NF; c++) if ($c == "main") main = 1
    if (main) emit($k, $(k + 1), signed)
}
END { if (deb822) flush() }
