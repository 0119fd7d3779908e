# bash completion for glintwise-convert. The options, which of them take a value and the
# values to offer are read from the program's own --help, so they never fall behind it.

# Prints one line per option name: NAME ARGUMENT VALUE... (ARGUMENT "-" for a switch).
# Values come from an argument written a|b|c or from the list under an option whose text
# ends in "one of:" (single-spaced names, or a name opening each line of a table).
_glintwise_convert_options() {
    "$1" --help 2>/dev/null | awk '
        function indent(s) { match(s, /^ */); return RLENGTH }
        function flush() {
            if (long == "") return
            if (short != "") print short, arg, values
            print long, arg, values
            long = ""
        }
        /^  (-[[:alnum:]], |    )--[[:alnum:]-]+/ {
            flush()
            line = $0; sub(/^ +/, "", line)
            short = ""
            if (line ~ /^-[[:alnum:]],/) { short = substr(line, 1, 2); line = substr(line, 5) }
            match(line, /^--[[:alnum:]-]+/)
            long = substr(line, 1, RLENGTH); rest = substr(line, RLENGTH + 1)
            arg = "-"; values = ""
            if (rest ~ /^ [^ ]/) { arg = substr(rest, 2); sub(/ .*/, "", arg) }
            if (arg ~ /\|/) { values = arg; gsub(/\|/, " ", values) }
            listing = (rest ~ /one of:$/)
            next
        }
        listing && indent($0) == 21 {
            text = substr($0, 22)
            if (text ~ /^[a-z0-9]+( [a-z0-9]+)*$/) values = values " " text
            else if (match(text, /^[a-z0-9]+  /)) values = values " " substr(text, 1, RLENGTH - 2)
            next
        }
        $0 == "" || indent($0) < 21 { flush(); listing = 0 }
        END { flush() }'
}

_glintwise_convert() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev="" program=${COMP_WORDS[0]}
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # --name=value: bash makes "=" a word of its own.
    if [[ $cur == "=" ]]; then
        cur=""
    elif [[ $prev == "=" ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    command -v "$program" >/dev/null 2>&1 || program=glintwise-convert

    local table name arg values
    table=$(_glintwise_convert_options "$program")
    while read -r name arg values; do
        [[ $name == "$prev" && $arg != "-" ]] || continue
        if [[ -n $values ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$values" -- "$cur")
        elif [[ $arg == PATH || $arg == FILE ]]; then
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        else
            COMPREPLY=()  # a number or K/N: nothing to offer
        fi
        return
    done <<<"$table"

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(cut -d' ' -f1 <<<"$table")" -- "$cur")
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -F _glintwise_convert glintwise-convert
