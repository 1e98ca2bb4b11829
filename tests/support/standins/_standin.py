"""Shared machinery of the stand-in tools: the state folder and its lock, the
call log, injected failures, and jobs started as detached processes.
See README.md beside this file."""

import fcntl
import json
import os
import select
import signal
import sys
import time


def state_dir():
    folder = os.environ.get("QUILLMARSH_STANDIN_STATE") or os.path.join(
        os.environ.get("TMPDIR") or "/tmp", "quillmarsh-standin-%d" % os.getuid())
    os.makedirs(folder, mode=0o700, exist_ok=True)
    return folder


def fail(status, message):
    sys.stderr.write(message + "\n" if message else "")
    sys.stderr.flush()
    os._exit(status)


class State:
    """state.json, locked for the whole `with` block, written back when `changed` is set."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "state.json")
        self.lock = os.open(os.path.join(folder, "state.lock"),
                            os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        self.changed = False

    def __enter__(self):
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        try:
            with open(self.path, encoding="utf-8") as f:
                self.data = json.load(f)
        except FileNotFoundError:
            self.data = {}
        return self

    def __exit__(self, kind, value, trace):
        if self.changed and kind is None:
            temporary = "%s.%d.tmp" % (self.path, os.getpid())
            with open(temporary, "w", encoding="utf-8") as f:
                json.dump(self.data, f, indent=1)
            os.replace(temporary, self.path)
        os.close(self.lock)

    def section(self, name):
        if not isinstance(self.data.get(name), dict):
            self.data[name] = {}
        return self.data[name]


def begin(tool, argv, verb):
    """Logs the call; acts out a failure of `verb` configured in QUILLMARSH_STANDIN_FAIL or
    the state (waits, prints, exits). Returns the state folder."""
    folder = state_dir()
    with open(os.path.join(folder, "calls.log"), "ab") as log:
        log.write((json.dumps([tool] + argv) + "\n").encode("utf-8", "surrogateescape"))
    failure = None
    for entry in os.environ.get("QUILLMARSH_STANDIN_FAIL", "").split("\n"):
        parts = entry.split(":", 2) + [""]
        if parts[0] == verb and parts[1].lstrip("-").isdigit():
            failure = {"status": int(parts[1]), "message": parts[2]}
            break
    if failure is None:
        with State(folder) as state:
            failure = state.data.get("fail", {}).get(verb)
    if isinstance(failure, dict):
        time.sleep(max(float(failure.get("delaySeconds") or 0), 0))
        sys.stdout.write(str(failure.get("output", "")))
        sys.stdout.flush()
        fail(int(failure.get("status", 1)), str(failure.get("message", "")))
    return folder


def stat(pid):
    """The fields of /proc/PID/stat after the name: [0] the state, [19] the start time."""
    with open("/proc/%d/stat" % pid, "rb") as f:
        text = f.read().decode("ascii", "replace")
    return text[text.rfind(")") + 2:].split()


def is_alive(pid, ticks=None):
    """A living process with that pid (and start time, when given)."""
    try:
        fields = stat(pid)
        return fields[0] not in "ZXx" and ticks in (None, int(fields[19]))
    except (OSError, ValueError, IndexError, TypeError):
        return False


def stop_job(job, grace=5.0):
    """SIGTERM, then SIGKILL after the grace, to the job's process group when
    the stand-ins started it, the way launchd ends a job."""
    pid = job.get("pid")
    if not is_alive(pid, job.get("startTicks")):
        return
    send = os.killpg if job.get("startedByStandIn") else os.kill
    for number, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 2.0)):
        try:
            send(pid, number)
            ended = os.pidfd_open(pid)
            select.select([ended], [], [], wait)
            os.close(ended)
        except OSError:
            pass
        if not is_alive(pid):
            break
    if job.get("startedByStandIn"):
        try:
            os.killpg(pid, signal.SIGKILL)  # what is left of its group
        except OSError:
            pass


def start_job(job):
    """Starts the job's program in its own session, stdio on /dev/null. A
    middle process that exits at once hands it to pid 1 (or the nearest child
    subreaper), as launchd is its parent on the real system. Returns what to
    record in its state entry, or None when it could not start."""
    report_read, report_write = os.pipe()
    sys.stdout.flush()
    if os.fork() == 0:
        child = os.fork()
        if child == 0:
            try:
                os.setsid()
                for number in (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT):
                    signal.signal(number, signal.SIG_DFL)
                signal.pthread_sigmask(signal.SIG_SETMASK, [])
                null = os.open(os.devnull, os.O_RDWR)
                for fd in (0, 1, 2):
                    os.dup2(null, fd)
                os.closerange(3, os.sysconf("SC_OPEN_MAX"))
                os.chdir("/")
                # Like launchd, a program named only by ProgramArguments is looked up in PATH.
                (os.execvp if job.get("searchPath") else os.execv)(job["executable"],
                                                                   job["arguments"])
            finally:
                os._exit(78)
        os.write(report_write, b"%d\n" % child)
        os._exit(0)
    os.close(report_write)
    with os.fdopen(report_read, "rb") as f:
        line = f.readline()
    os.wait()
    try:
        return {"pid": int(line), "startTicks": int(stat(int(line))[19]), "startedByStandIn": True}
    except (OSError, ValueError, IndexError):
        return None
