"""CPU time, resident memory, threads and open descriptors of a process tree,
read from /proc.

A proxy may be one process (ferry, tinyproxy) or a master with workers
(nginx), so every figure is summed over the process and all its descendants."""

import os


def descendants(pid):
    """pid and every live process below it."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                parents.setdefault(int(fields[1]), []).append(int(entry))
            except (OSError, IndexError):
                continue
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        todo.extend(parents.get(current, []))
    return found


def cpu_ticks(pid):
    """utime+stime (with reaped children) summed over a process tree."""
    total = 0
    for member in descendants(pid):
        try:
            with open(f"/proc/{member}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += sum(int(v) for v in fields[11:15])
        except (OSError, IndexError):
            continue
    return total


def status_field(pid, name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return 0


def tree_status_sum(pid, name):
    """A /proc status field summed over a process tree; gone members count 0."""
    total = 0
    for member in descendants(pid):
        try:
            total += status_field(member, name)
        except OSError:
            continue
    return total


def rss_kib(pid):
    """VmRSS summed over a process tree (threads share their process's memory)."""
    return tree_status_sum(pid, "VmRSS")


def thread_count(pid):
    return tree_status_sum(pid, "Threads")


def descriptor_count(pid):
    """Open descriptors summed over a process tree (an nginx master's do not
    change with its workers' connections, so they fall out of a difference)."""
    total = 0
    for member in descendants(pid):
        try:
            total += len(os.listdir(f"/proc/{member}/fd"))
        except OSError:
            continue
    return total
