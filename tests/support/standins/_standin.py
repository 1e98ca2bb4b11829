"""Shared machinery of the stand-in tools: the state folder and its lock, the
call log, injected failures, and starting a job as a detached process.
The state format is described in README.md beside this file."""

import fcntl
import json
import os
import select
import signal
import sys
import time

STATE_ENV = "QUILLMARSH_STANDIN_STATE"
FAIL_ENV = "QUILLMARSH_STANDIN_FAIL"


def state_dir():
    folder = os.environ.get(STATE_ENV)
    if not folder:
        tmp = os.environ.get("TMPDIR") or "/tmp"
        folder = os.path.join(tmp, "quillmarsh-standin-%d" % os.getuid())
    os.makedirs(folder, mode=0o700, exist_ok=True)
    return folder


def fatal(status, message):
    sys.stderr.write(message + "\n")
    sys.stderr.flush()
    os._exit(status)


class State:
    """state.json under an exclusive lock for the whole `with` block; written
    back when `changed` is set."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "state.json")
        self.lock_path = os.path.join(folder, "state.lock")
        self.data = {}
        self.changed = False

    def __enter__(self):
        self._lock = os.open(self.lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        try:
            with open(self.path, encoding="utf-8") as f:
                self.data = json.load(f)
        except FileNotFoundError:
            self.data = {}
        except ValueError as e:
            fatal(70, "stand-in state is not valid JSON: %s" % e)
        if not isinstance(self.data, dict):
            fatal(70, "stand-in state is not a JSON object")
        return self

    def __exit__(self, kind, value, trace):
        try:
            if self.changed and kind is None:
                temporary = "%s.%d.tmp" % (self.path, os.getpid())
                with open(temporary, "w", encoding="utf-8") as f:
                    json.dump(self.data, f, indent=1)
                os.replace(temporary, self.path)
        finally:
            os.close(self._lock)
        return False

    def section(self, name):
        if not isinstance(self.data.get(name), dict):
            self.data[name] = {}
        return self.data[name]


def log_call(folder, tool, arguments):
    """One JSON array per line: the tool's name, then its arguments."""
    line = (json.dumps([tool] + list(arguments)) + "\n").encode("utf-8", "surrogateescape")
    fd = os.open(os.path.join(folder, "calls.log"),
                 os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        os.write(fd, line)
    finally:
        os.close(fd)


def apply_failure(folder, verb):
    """Ends the process the way a configured failure of `verb` says, if any:
    the environment's first, then the state's."""
    failure = None
    for entry in os.environ.get(FAIL_ENV, "").split("\n"):
        parts = entry.split(":", 2)
        if len(parts) >= 2 and parts[0] == verb and parts[1].lstrip("-").isdigit():
            failure = {"status": int(parts[1]), "message": parts[2] if len(parts) > 2 else ""}
            break
    if failure is None:
        with State(folder) as state:
            failure = state.data.get("fail", {}).get(verb)
    if not isinstance(failure, dict):
        return
    delay = float(failure.get("delaySeconds") or 0)
    if delay > 0:
        time.sleep(delay)
    sys.stdout.write(str(failure.get("output", "")))
    if failure.get("message"):
        sys.stderr.write(str(failure["message"]) + "\n")
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(int(failure.get("status", 1)))


def read_stat(pid):
    """(state letter, start time in clock ticks) or None."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            text = f.read().decode("ascii", "replace")
        fields = text[text.rfind(")") + 2:].split()
        return fields[0], int(fields[19])
    except (OSError, ValueError, IndexError):
        return None


def is_alive(pid, ticks=None):
    """A living process with that pid (and that start time, when given)."""
    if not isinstance(pid, int) or pid <= 0:
        return False
    stat = read_stat(pid)
    return stat is not None and stat[0] not in "ZXx" and (ticks is None or stat[1] == ticks)


def wait_gone(pid, seconds):
    """Waits until the process has ended (a zombie counts as ended)."""
    deadline = time.monotonic() + seconds
    try:
        pidfd = os.pidfd_open(pid)
    except OSError:
        pidfd = -1
    try:
        while is_alive(pid):
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if pidfd >= 0:
                select.select([pidfd], [], [], min(left, 0.5))
            else:
                time.sleep(min(left, 0.01))
        return True
    finally:
        if pidfd >= 0:
            os.close(pidfd)


def stop_job(job, grace=5.0):
    """SIGTERM to the job's process group, SIGKILL for what is left after the
    grace, the way launchd ends a job."""
    pid = job.get("pid")
    if not is_alive(pid, job.get("startTicks")):
        return
    send = os.killpg if job.get("startedByStandIn") else os.kill
    for number, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 2.0)):
        try:
            send(pid, number)
        except OSError:
            pass
        if wait_gone(pid, wait):
            break
    if job.get("startedByStandIn"):
        try:
            os.killpg(pid, signal.SIGKILL)  # what is left of its group
        except OSError:
            pass


def _exec_job(job):
    """In the job's own process: become the program, as launchd starts it."""
    try:
        os.setsid()
        for number in range(1, signal.NSIG):
            if number not in (signal.SIGKILL, signal.SIGSTOP):
                try:
                    signal.signal(number, signal.SIG_DFL)
                except (OSError, ValueError, RuntimeError):
                    pass
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        null = os.open(os.devnull, os.O_RDWR)
        os.dup2(null, 0)
        for fd, key in ((1, "standardOutPath"), (2, "standardErrorPath")):
            target = null
            if job.get(key):
                try:
                    target = os.open(job[key], os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
                except OSError:
                    pass
            os.dup2(target, fd)
        os.closerange(3, os.sysconf("SC_OPEN_MAX"))
        environment = dict(os.environ)
        environment.update({str(k): str(v) for k, v in job.get("environment", {}).items()})
        os.chdir(job.get("workingDirectory") or "/")
        arguments = [str(a) for a in job["arguments"]]
        if job.get("searchPath"):
            os.execvpe(job["executable"], arguments, environment)
        os.execve(job["executable"], arguments, environment)
    except BaseException:
        pass
    os._exit(78)


def start_job(job):
    """Starts the job's program in its own session. A middle process that exits
    at once hands it to pid 1 (or the nearest child subreaper), as launchd is
    its parent on the real system. Returns what to record in its state entry,
    or None when it could not start."""
    report_read, report_write = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    middle = os.fork()
    if middle == 0:
        os.close(report_read)
        child = os.fork()
        if child == 0:
            os.close(report_write)
            _exec_job(job)
        os.write(report_write, b"%d\n" % child)
        os._exit(0)
    os.close(report_write)
    with os.fdopen(report_read, "rb") as f:
        line = f.readline()
    os.waitpid(middle, 0)
    try:
        pid = int(line)
    except ValueError:
        return None
    stat = read_stat(pid)
    return {"pid": pid, "startTicks": stat[1] if stat else None, "startedByStandIn": True}
