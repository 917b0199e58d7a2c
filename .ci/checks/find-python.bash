# Sourced by the checks (not itself a check: its name does not end in .sh). find_python X.Y
# prints the path of a CPython X.Y interpreter: the newest pyenv installation, else pythonX.Y.
find_python() {
    local want=$1 root version
    if command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root)
        version=$(pyenv versions --bare | grep -E "^${want//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1 || true)
        if [ -n "$version" ] && [ -x "$root/versions/$version/bin/python" ]; then
            echo "$root/versions/$version/bin/python"
            return
        fi
    fi
    command -v "python$want" || { echo "no CPython $want found" >&2; return 1; }
}
