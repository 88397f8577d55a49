# Sourced by the package tests: counted checks, and what a purge left behind.
failures=0
check() { # description, then the command that must succeed
    local description=$1
    shift
    if "$@"; then
        echo "$test_name: ok: $description"
    else
        echo "$test_name: FAILED: $description"
        failures=$((failures + 1))
    fi
}

not() { ! "$@"; }

# Whether dpkg knows anything of a package: installed, in part, or its conffiles.
package_present() {
    local status
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) || return 1
    [ -n "$status" ] && [[ $status != un* ]]
}

# Paths of a package (from dpkg -L, taken before the purge) that are still there.
# A path may stay only if it is a directory that another package owns or that
# holds something else.
leftovers() { # package, then its paths
    local package=$1 path
    shift
    for path in "$@"; do
        [ -e "$path" ] || [ -L "$path" ] || continue
        if [ -d "$path" ] && ! [ -L "$path" ]; then
            dpkg-query -S "$path" > /dev/null 2>&1 && continue
            [ -n "$(ls -A "$path")" ] && continue
        fi
        echo "$test_name:   left behind: $path"
    done
    for path in /var/lib/dpkg/info/"$package".* /var/lib/dpkg/info/"$package":*.*; do
        [ -e "$path" ] && echo "$test_name:   left behind: $path"
    done
    return 0
}

finish_checks() {
    if [ "$failures" -ne 0 ]; then
        echo "$test_name: $failures check(s) failed"
        exit 1
    fi
    echo "$test_name: all checks passed"
}
