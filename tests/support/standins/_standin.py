"""Shared machinery of the stand-in tools: the state folder, its lock, the call
log, injected failures, and starting a job as a detached process.

The state format is described in README.md beside this file.
"""

import ctypes
import fcntl
import json
import os
import select
import signal
import sys
import time

STATE_ENV = "QUILLMARSH_STANDIN_STATE"
FAIL_ENV = "QUILLMARSH_STANDIN_FAIL"

STATE_FILE = "state.json"
LOCK_FILE = "state.lock"
LOG_FILE = "calls.log"


def state_dir():
    folder = os.environ.get(STATE_ENV)
    if not folder:
        tmp = os.environ.get("TMPDIR") or "/tmp"
        folder = os.path.join(tmp, "quillmarsh-standin-%d" % os.getuid())
    os.makedirs(folder, mode=0o700, exist_ok=True)
    return folder


class State:
    """The state file, held under an exclusive lock for the whole `with` block.
    Changes are written back when `changed` is set."""

    def __init__(self, folder):
        self.folder = folder
        self.data = {}
        self.changed = False
        self._lock = -1

    def __enter__(self):
        self._lock = os.open(os.path.join(self.folder, LOCK_FILE),
                             os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        fcntl.flock(self._lock, fcntl.LOCK_EX)
        try:
            with open(os.path.join(self.folder, STATE_FILE), encoding="utf-8") as f:
                self.data = json.load(f)
        except FileNotFoundError:
            self.data = {}
        except ValueError as e:
            self._unlock()
            fatal(70, "stand-in state is not valid JSON: %s" % e)
        if not isinstance(self.data, dict):
            self._unlock()
            fatal(70, "stand-in state is not a JSON object")
        return self

    def __exit__(self, kind, value, trace):
        try:
            if self.changed and kind is None:
                path = os.path.join(self.folder, STATE_FILE)
                temporary = path + ".%d.tmp" % os.getpid()
                with open(temporary, "w", encoding="utf-8") as f:
                    json.dump(self.data, f, indent=1)
                os.replace(temporary, path)
        finally:
            self._unlock()
        return False

    def _unlock(self):
        if self._lock >= 0:
            fcntl.flock(self._lock, fcntl.LOCK_UN)
            os.close(self._lock)
            self._lock = -1

    def section(self, name):
        value = self.data.get(name)
        if not isinstance(value, dict):
            value = {}
            self.data[name] = value
        return value


def fatal(status, message):
    sys.stderr.write(message + "\n")
    sys.stderr.flush()
    os._exit(status)


def log_call(folder, tool, arguments):
    """One JSON array per line: the tool's name, then its arguments."""
    line = (json.dumps([tool] + list(arguments)) + "\n").encode("utf-8", "surrogateescape")
    fd = os.open(os.path.join(folder, LOG_FILE),
                 os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        os.write(fd, line)
    finally:
        os.close(fd)


def _failure_from_env(verb):
    for entry in os.environ.get(FAIL_ENV, "").split("\n"):
        parts = entry.split(":", 2)
        if len(parts) >= 2 and parts[0] == verb:
            try:
                status = int(parts[1])
            except ValueError:
                continue
            return {"status": status, "message": parts[2] if len(parts) > 2 else ""}
    return None


def apply_failure(folder, verb):
    """Ends the process the way a configured failure of `verb` says, if any."""
    failure = _failure_from_env(verb)
    if failure is None:
        with State(folder) as state:
            failure = state.data.get("fail", {}).get(verb)
    if not isinstance(failure, dict):
        return
    delay = float(failure.get("delaySeconds", 0) or 0)
    if delay > 0:
        time.sleep(delay)
    sys.stdout.write(str(failure.get("output", "")))
    sys.stdout.flush()
    message = str(failure.get("message", ""))
    if message:
        sys.stderr.write(message + "\n")
        sys.stderr.flush()
    os._exit(int(failure.get("status", 1)))


# --- processes ---------------------------------------------------------------

def read_stat(pid):
    """(state letter, start time in clock ticks, raw exit code) or None."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            text = f.read().decode("ascii", "replace")
    except (OSError, ValueError):
        return None
    fields = text[text.rfind(")") + 2:].split()
    try:
        exit_code = int(fields[49]) if len(fields) > 49 else None
        return fields[0], int(fields[19]), exit_code
    except (IndexError, ValueError):
        return None


def is_alive(pid, ticks=None):
    """A living process with that pid (and that start time, when given)."""
    if not isinstance(pid, int) or pid <= 0:
        return False
    stat = read_stat(pid)
    if stat is None or stat[0] in ("Z", "X", "x"):
        return False
    return ticks is None or stat[1] == ticks


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
    group = pid if job.get("ownGroup") else None
    _signal(pid, group, signal.SIGTERM)
    if not wait_gone(pid, grace):
        _signal(pid, group, signal.SIGKILL)
        wait_gone(pid, 2.0)
    if group is not None:
        _signal(pid, group, signal.SIGKILL)


def _signal(pid, group, number):
    try:
        if group is not None:
            os.killpg(group, number)
        else:
            os.kill(pid, number)
    except OSError:
        pass


# Starting a job.
#
# The job's program must run as a real process whose parent is pid 1 (launchd
# on the real system), in its own session, with its standard streams on
# /dev/null. Its exit status cannot be collected by waiting for it then, since
# only its parent may do that. So the program is started by a watcher that
# forks twice (the middle process exits at once, which hands the job to pid 1)
# and then follows the job with ptrace: a tracer is told of the tracee's end,
# exit status included, before its parent is. The watcher records that status
# in the state and exits. Where ptrace is refused, the watcher falls back to
# reading the exit code of the zombie, and records 0 when that is gone too.

_PTRACE_CONT = 7
_PTRACE_SEIZE = 0x4206
_PTRACE_LISTEN = 0x4208
_PTRACE_EVENT_STOP = 128
_PR_SET_PTRACER = 0x59616D61
_PR_SET_PTRACER_ANY = -1
_WALL = 0x40000000
_STOP_SIGNALS = (signal.SIGSTOP, signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU)


def _libc():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    libc.ptrace.restype = ctypes.c_long
    libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong,
                           ctypes.c_ulong]
    libc.prctl.restype = ctypes.c_int
    return libc


def _close_all_but(keep):
    """Closes every descriptor from 3 up except those in `keep`."""
    start = 3
    for fd in sorted(k for k in keep if k >= 3):
        os.closerange(start, fd)
        start = fd + 1
    os.closerange(start, os.sysconf("SC_OPEN_MAX"))


def _to_dev_null():
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    if null > 2:
        os.close(null)


def _open_output(path, fallback):
    if not path:
        return fallback
    try:
        return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    except OSError:
        return fallback


def _exec_job(job, go):
    """In the job's own process: wait for the watcher, then become the program."""
    try:
        libc = _libc()
        libc.prctl(_PR_SET_PTRACER, ctypes.c_ulong(_PR_SET_PTRACER_ANY).value, 0, 0, 0)
        os.read(go, 1)
        os.close(go)
        for number in range(1, signal.NSIG):
            if number in (signal.SIGKILL, signal.SIGSTOP):
                continue
            try:
                signal.signal(number, signal.SIG_DFL)
            except (OSError, ValueError, RuntimeError):
                pass
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        out = _open_output(job.get("standardOutPath"), 1)
        err = _open_output(job.get("standardErrorPath"), 2)
        if out != 1:
            os.dup2(out, 1)
            os.close(out)
        if err != 2:
            os.dup2(err, 2)
            os.close(err)
        environment = dict(os.environ)
        environment.update({str(k): str(v) for k, v in job.get("environment", {}).items()})
        os.chdir(job.get("workingDirectory") or "/")
        arguments = [str(a) for a in job["arguments"]]
        if job.get("searchPath"):
            os.execvpe(job["executable"], arguments, environment)
        else:
            os.execve(job["executable"], arguments, environment)
    except BaseException:
        pass
    os._exit(78)


def _watch(folder, label, report, job):
    """The watcher: starts the job, reports it to the caller, records its end."""
    os.setsid()
    _close_all_but({report})
    _to_dev_null()
    try:
        # Tells it apart from the launchctl call that started it.
        with open("/proc/self/comm", "w") as comm:
            comm.write("standin-watch")
    except OSError:
        pass
    go_read, go_write = os.pipe()
    pid_read, pid_write = os.pipe()
    middle = os.fork()
    if middle == 0:
        os.close(go_write)
        os.close(pid_read)
        child = os.fork()
        if child == 0:
            os.close(report)
            os.close(pid_write)
            os.setsid()
            _exec_job(job, go_read)
        os.write(pid_write, b"%d\n" % child)
        os._exit(0)
    os.close(go_read)
    os.close(pid_write)
    with os.fdopen(pid_read, "rb") as f:
        pid = int(f.readline().strip() or b"0")
    os.waitpid(middle, 0)
    # The middle process is gone: the job's parent is pid 1 from here on.
    libc = _libc()
    traced = pid > 0 and libc.ptrace(_PTRACE_SEIZE, pid, None, None) == 0
    stat = read_stat(pid) if pid > 0 else None
    message = {"pid": pid, "startTicks": stat[1] if stat else None, "watcher": os.getpid(),
               "watcherTicks": (read_stat(os.getpid()) or (None, None))[1], "traced": traced}
    os.write(report, (json.dumps(message) + "\n").encode())
    os.close(report)
    os.write(go_write, b"g")
    os.close(go_write)
    if pid <= 0:
        os._exit(0)
    status = _follow(libc, pid) if traced else _follow_untraced(pid)
    with State(folder) as state:
        current = state.section("jobs").get(label)
        if isinstance(current, dict) and current.get("pid") == pid:
            current["pid"] = None
            current["status"] = 0 if status is None else status
            for key in ("startTicks", "watcher", "watcherTicks", "traced"):
                current.pop(key, None)
            state.changed = True
    os._exit(0)


def _decode(wait_status):
    if os.WIFEXITED(wait_status):
        return os.WEXITSTATUS(wait_status)
    if os.WIFSIGNALED(wait_status):
        return -os.WTERMSIG(wait_status)
    return None


def _follow(libc, pid):
    """Lets the traced job run on, passing its signals through, until it ends."""
    while True:
        try:
            _, wait_status = os.waitpid(pid, _WALL)
        except ChildProcessError:
            return None
        except InterruptedError:
            continue
        if os.WIFEXITED(wait_status) or os.WIFSIGNALED(wait_status):
            return _decode(wait_status)
        if not os.WIFSTOPPED(wait_status):
            continue
        number = os.WSTOPSIG(wait_status)
        event = (wait_status >> 16) & 0xFF
        if event == _PTRACE_EVENT_STOP:
            if number in _STOP_SIGNALS:
                libc.ptrace(_PTRACE_LISTEN, pid, None, None)
            else:
                libc.ptrace(_PTRACE_CONT, pid, None, None)
        else:
            libc.ptrace(_PTRACE_CONT, pid, None, ctypes.c_void_p(number))


def _follow_untraced(pid):
    while True:
        stat = read_stat(pid)
        if stat is None:
            return None
        if stat[0] in ("Z", "X", "x"):
            return _decode(stat[2]) if stat[2] is not None else None
        wait_gone(pid, 1.0)


def start_job(folder, label, job):
    """Starts the job's program detached; returns what to record in its state
    entry (pid, start ticks, watcher) or None when it could not start."""
    report_read, report_write = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    watcher = os.fork()
    if watcher == 0:
        try:
            os.close(report_read)
            _watch(folder, label, report_write, job)
        finally:
            os._exit(0)
    os.close(report_write)
    with os.fdopen(report_read, "rb") as f:
        line = f.readline()
    try:
        started = json.loads(line.decode())
    except ValueError:
        return None
    if not started.get("pid"):
        return None
    started["ownGroup"] = True
    started["startedByStandIn"] = True
    return started
