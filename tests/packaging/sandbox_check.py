"""Checks an strace -f log of a program against the sandbox of a systemd unit.

Usage: sandbox_check.py UNIT TRACE PROGRAM

Only what PROGRAM does after it was executed counts (the tools that started it
may do more). Checked: every system call passes the unit's SystemCallFilter=
lines (group names expanded by systemd-analyze), every socket's family is one
of RestrictAddressFamilies=, no mapping is writable and executable at once when
MemoryDenyWriteExecute=yes, and with ProtectSystem=strict no file is opened
for writing outside /dev and /proc (PrivateTmp's /tmp aside). Prints each
breach and exits 1 if there is one.
"""
import re
import subprocess
import sys

CALL = re.compile(r"^(\d+)\s+(?:<\.\.\. )?([a-z0-9_]+)(?:\(| resumed>)")


def service_settings(path):
    settings, section = {}, None
    with open(path) as unit:
        for line in unit:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line.strip("[]")
            elif section == "Service" and "=" in line:
                key, value = line.split("=", 1)
                settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def expand(name, seen=None):
    """The system calls of a name: itself, or a group's members, recursively."""
    if not name.startswith("@"):
        return {name}
    seen = seen if seen is not None else set()
    if name in seen:
        return set()
    seen.add(name)
    out = subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager", name],
                         check=True, capture_output=True, text=True).stdout
    calls = set()
    for line in out.splitlines()[1:]:
        line = line.strip()
        if line and not line.startswith("#"):
            calls |= expand(line, seen)
    return calls


def call_filter(filters):
    """What the SystemCallFilter= lines admit: (allowed, denied), where allowed
    is None when the first line is a deny list (anything not denied passes)."""
    allowed, denied = None, set()
    for value in filters:
        names = set()
        for word in value.lstrip("~").split():
            names |= expand(word)
        if value.startswith("~"):
            if allowed is None:
                denied |= names
            else:
                allowed -= names
        elif allowed is None:
            allowed = names - denied
        else:
            allowed |= names
    return allowed, denied


def program_lines(trace, program):
    """The trace's lines from the program's successful execve on."""
    lines, started = [], False
    with open(trace) as log:
        for line in log:
            if not started:
                started = re.search(r'execve\("[^"]*' + re.escape(program) + r'".* = 0$', line)
                continue
            lines.append(line.rstrip("\n"))
    if not started:
        sys.exit("FAILED: no execve of %s in the trace" % program)
    return lines


def main():
    unit, trace, program = sys.argv[1:4]
    settings = service_settings(unit)
    lines = program_lines(trace, program)
    breaches = []

    allowed, denied = call_filter(settings.get("SystemCallFilter", []))
    used = {}
    for line in lines:
        m = CALL.match(line)
        if m:
            used.setdefault(m.group(2), line)
    for call, line in sorted(used.items()):
        if call in denied or (allowed is not None and call not in allowed):
            breaches.append("system call outside SystemCallFilter=: " + line)

    families = set(" ".join(settings.get("RestrictAddressFamilies", [])).split())
    if families:
        for line in lines:
            m = re.search(r"\bsocket\((AF_[A-Z0-9]+)", line)
            if m and m.group(1) not in families:
                breaches.append("socket family outside RestrictAddressFamilies=: " + line)

    if settings.get("MemoryDenyWriteExecute", ["no"])[-1] == "yes":
        for line in lines:
            if re.search(r"\b(mmap|mprotect|pkey_mprotect)\(.*PROT_WRITE\|PROT_EXEC", line):
                breaches.append("writable and executable memory: " + line)

    if settings.get("ProtectSystem", ["no"])[-1] == "strict":
        for line in lines:
            m = re.search(r'\b(?:open|openat|creat)\((?:AT_FDCWD, )?"([^"]*)", ([A-Z_|]+)', line)
            if m and re.search(r"O_WRONLY|O_RDWR|O_CREAT", m.group(2)) and \
                    not re.match(r"/(dev|proc|tmp)/", m.group(1)):
                breaches.append("file opened for writing under ProtectSystem=strict: " + line)

    print("%d distinct system calls after exec: %s" % (len(used), " ".join(sorted(used))))
    for breach in breaches:
        print("BREACH:", breach)
    sys.exit(1 if breaches else 0)


if __name__ == "__main__":
    main()
