/* xmeasure: times one run of a Windows program under Wine from the events
 * themselves, never by polling: the X server's MapNotify for the window, the
 * kernel's process exit (wait4, which also gives the peak resident set), and
 * inotify for the product's directory going away.
 *
 *   xmeasure -t TITLE -d DIR -l LOCATE [-m PROBE] [-s MS] [-W S] [-T S] [-o FILE]
 *            [-I FRAC] -- CMD...
 *
 *   -t TITLE   the name of the top-level window to wait for (exact match)
 *   -d DIR     the directory whose removal the run waits for
 *   -l LOCATE  a shell command run once the window has settled; it gets
 *              XM_WINDOW (X window id) and XM_PID (the window's Unix process)
 *              in its environment and prints "X Y": where to click
 *   -m PROBE   a shell command run just before LOCATE; its first line of
 *              output is recorded as probe="..."
 *   -s MS      how long the window is left alone before the answer (1000)
 *   -W S       how long to wait for the window (30)
 *   -T S       how long to wait, after the answer, for exit and removal (10)
 *              (both times CLEARWICK_WAIT_FACTOR, where a slower machine
 *              sets it, as the tests' waits are)
 *   -o FILE    where CMD's output goes (default /dev/null)
 *   -I FRAC    before the launch and before the answer, wait (up to 10 s
 *              and 5 s) for the machine's CPUs to be at least FRAC idle
 *              over 100 ms (default 0.9; 0 does not wait)
 *
 * CMD starts the program (wine ...). When the window is mapped, the tool
 * reads its _NET_WM_PID, which Wine sets to the Unix pid of the Windows
 * process that owns it: that process is the one measured, even when it is
 * not CMD itself (an NSIS uninstaller re-runs itself from a temporary copy).
 * The tool is a child subreaper, so such grandchildren become its children
 * and it collects their exit and their peak resident set (ru_maxrss).
 *
 * The answer is a real click, made with XTest as xdotool makes it, but from
 * this process: xdotool sleeps 100 ms after the release before it exits, so
 * its exit says nothing about when the click happened. The answer's time is
 * when the X server has taken the button's release (XSync after it), which
 * is when a button's click fires.
 *
 * Prints one line of key=value pairs, times in ms:
 *   map     launch to MapNotify of the window
 *   exit    answer to the measured process's exit (-1: not within -T)
 *   gone    answer to DIR's removal (-1: not within -T)
 *   rss_kib peak resident set of the measured process (its VmHWM at exit)
 *   hwm_kib its VmHWM at the answer, read from /proc
 *   done    1 when DIR no longer exists at the end
 *   idle    1 when both waits for an idle machine succeeded (-I)
 * Exit status: 0 measured, 3 no window, 4 locate failed, 2 usage.
 */
#define _GNU_SOURCE
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static Display *dpy;
static int inotify_fd = -1, signal_fd = -1, pid_fd = -1;
static sigset_t old_mask;

static const char *title;
static char dir_base[256];
static double t_map = -1, t_gone = -1, t_target_exit = -1;
static Window window;
static pid_t target = -1;
static long target_rss = -1;

#define MAX_REAPED 256
struct reap { pid_t pid; double t; long maxrss; };
static struct reap reaped[MAX_REAPED];
static int n_reaped;

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static int ignore_x_errors(Display *d, XErrorEvent *e) { (void)d; (void)e; return 0; }

/* The window's name as UTF-8: _NET_WM_NAME if set, WM_NAME otherwise. */
static int window_name_is(Window w, const char *want) {
    Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    Atom net_name = XInternAtom(dpy, "_NET_WM_NAME", False);
    Atom type; int format; unsigned long n, after; unsigned char *data = NULL;
    int match = 0;
    if (XGetWindowProperty(dpy, w, net_name, 0, 1024, False, utf8, &type, &format, &n, &after,
                           &data) == Success && data != NULL && type == utf8) {
        match = strlen(want) == n && memcmp(data, want, n) == 0;
        XFree(data);
        return match;
    }
    if (data) XFree(data);
    char *name = NULL;
    if (XFetchName(dpy, w, &name) && name) {
        match = strcmp(name, want) == 0;
        XFree(name);
    }
    return match;
}

static pid_t window_pid(Window w) {
    Atom net_pid = XInternAtom(dpy, "_NET_WM_PID", False);
    Atom type; int format; unsigned long n, after; unsigned char *data = NULL;
    pid_t pid = -1;
    if (XGetWindowProperty(dpy, w, net_pid, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after,
                           &data) == Success && data != NULL && n == 1) {
        pid = (pid_t)*(unsigned long *)data;
    }
    if (data) XFree(data);
    return pid;
}

static const struct reap *find_reaped(pid_t pid) {
    for (int i = 0; i < n_reaped; i++)
        if (reaped[i].pid == pid) return &reaped[i];
    return NULL;
}

static void note_target_exit(void) {
    if (target <= 0 || t_target_exit >= 0) return;
    const struct reap *r = find_reaped(target);
    if (r) {
        t_target_exit = r->t;
        target_rss = r->maxrss;
    }
}

static void handle_x(void) {
    while (XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type != MapNotify || t_map >= 0) continue;
        double t = now_ms();
        if (window_name_is(ev.xmap.window, title)) {
            t_map = t;
            window = ev.xmap.window;
            target = window_pid(window);
        }
    }
}

static void handle_inotify(void) {
    char buf[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    ssize_t len;
    while ((len = read(inotify_fd, buf, sizeof buf)) > 0) {
        double t = now_ms();
        for (char *p = buf; p < buf + len;) {
            struct inotify_event *e = (struct inotify_event *)p;
            if (e->len && strcmp(e->name, dir_base) == 0 && t_gone < 0) t_gone = t;
            p += sizeof *e + e->len;
        }
    }
}

static void handle_children(void) {
    struct signalfd_siginfo si;
    while (read(signal_fd, &si, sizeof si) == sizeof si) {}
    double t = now_ms();
    for (;;) {
        int status; struct rusage ru;
        pid_t pid = wait4(-1, &status, WNOHANG, &ru);
        if (pid <= 0) break;
        if (n_reaped < MAX_REAPED) {
            reaped[n_reaped].pid = pid;
            reaped[n_reaped].t = t;
            reaped[n_reaped].maxrss = ru.ru_maxrss;
            n_reaped++;
        }
    }
    note_target_exit();
}

/* A process that is not ours (no subreaper path to us): its exit through a
 * pidfd, without its rusage. */
static void watch_foreign_target(void) {
    if (target <= 0 || find_reaped(target)) return;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", target);
    FILE *f = fopen(path, "r");
    if (!f) return;
    char line[256]; pid_t ppid = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "PPid: %d", &ppid) == 1) break;
    fclose(f);
    if (ppid == getpid()) return;
    pid_fd = (int)syscall(SYS_pidfd_open, target, 0);
}

/* Runs the event loop until done() or the deadline; returns done(). */
static int pump(double deadline, int (*done)(void)) {
    for (;;) {
        handle_x();
        if (done && done()) return 1;
        double left = deadline - now_ms();
        if (left <= 0) return done ? done() : 0;
        struct pollfd fds[4] = {
            {ConnectionNumber(dpy), POLLIN, 0}, {inotify_fd, POLLIN, 0},
            {signal_fd, POLLIN, 0}, {pid_fd, POLLIN, 0}};
        int n = poll(fds, pid_fd >= 0 ? 4 : 3, (int)left + 1);
        if (n < 0 && errno != EINTR) { perror("poll"); exit(1); }
        if (fds[1].revents) handle_inotify();
        if (fds[2].revents) handle_children();
        if (pid_fd >= 0 && fds[3].revents && t_target_exit < 0) {
            t_target_exit = now_ms();
            close(pid_fd);
            pid_fd = -1;
        }
    }
}

static pid_t spawn(char *const argv[], int out_fd, int err_fd) {
    pid_t pid = fork();
    if (pid < 0) { perror("fork"); exit(1); }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old_mask, NULL);
        if (out_fd >= 0) dup2(out_fd, 1);
        if (err_fd >= 0) dup2(err_fd, 2);
        if (out_fd > 2) close(out_fd);
        if (err_fd > 2 && err_fd != out_fd) close(err_fd);
        execvp(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    return pid;
}

static pid_t waiting_for;
static int waited(void) { return find_reaped(waiting_for) != NULL; }

/* Runs a helper to its end; its output (up to size) goes to out. */
static int run_helper(char *const argv[], char *out, size_t size, double *t_end) {
    int fds[2] = {-1, -1};
    if (out && pipe(fds) != 0) { perror("pipe"); exit(1); }
    waiting_for = spawn(argv, out ? fds[1] : -1, -1);
    size_t used = 0;
    if (out) {
        close(fds[1]);
        ssize_t n;
        while (used + 1 < size && (n = read(fds[0], out + used, size - 1 - used)) > 0) used += n;
        out[used] = '\0';
        close(fds[0]);
    }
    pump(now_ms() + 60000, waited);
    const struct reap *r = find_reaped(waiting_for);
    if (t_end) *t_end = r ? r->t : now_ms();
    return r != NULL;
}

static long vm_hwm_kib(pid_t pid) {
    char path[64], line[256];
    long kib = -1;
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld", &kib) == 1) break;
    fclose(f);
    return kib;
}

/* Busy and total jiffies of all CPUs, from /proc/stat's first line. */
static void cpu_times(unsigned long long *busy, unsigned long long *total) {
    unsigned long long v[8] = {0};
    FILE *f = fopen("/proc/stat", "r");
    if (f) {
        if (fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                   &v[4], &v[5], &v[6], &v[7]) < 4) memset(v, 0, sizeof v);
        fclose(f);
    }
    *total = 0;
    for (int i = 0; i < 8; i++) *total += v[i];
    *busy = *total - v[3] - v[4];
}

/* Setting up, not measuring: waits for other work on the machine (the
 * prefix's own services starting, other people's jobs) to pause, so that
 * it does not land inside a measured interval. */
static int wait_idle(double idle_frac, double max_ms) {
    if (idle_frac <= 0) return 1;
    const double deadline = now_ms() + max_ms;
    unsigned long long b0, t0, b1, t1;
    cpu_times(&b0, &t0);
    while (now_ms() < deadline) {
        pump(now_ms() + 100, NULL);
        cpu_times(&b1, &t1);
        if (t1 > t0 && (double)(b1 - b0) / (double)(t1 - t0) <= 1.0 - idle_frac) return 1;
        b0 = b1;
        t0 = t1;
    }
    return 0;
}

static int have_window(void) { return t_map >= 0; }
static int finished(void) { return t_target_exit >= 0 && t_gone >= 0; }

int main(int argc, char **argv) {
    const char *dir = NULL, *locate = NULL, *probe = NULL, *output = "/dev/null";
    double settle = 1000, window_timeout = 30, answer_timeout = 10, idle_frac = 0.9;
    int opt;
    while ((opt = getopt(argc, argv, "+t:d:l:m:s:W:T:o:I:")) != -1) {
        switch (opt) {
            case 't': title = optarg; break;
            case 'd': dir = optarg; break;
            case 'l': locate = optarg; break;
            case 'm': probe = optarg; break;
            case 's': settle = atof(optarg); break;
            case 'W': window_timeout = atof(optarg); break;
            case 'T': answer_timeout = atof(optarg); break;
            case 'o': output = optarg; break;
            case 'I': idle_frac = atof(optarg); break;
            default: return 2;
        }
    }
    const char *factor = getenv("CLEARWICK_WAIT_FACTOR");
    if (factor && atof(factor) > 0) {
        window_timeout *= atof(factor);
        answer_timeout *= atof(factor);
    }
    if (!title || !dir || !locate || optind >= argc) {
        fprintf(stderr, "usage: xmeasure -t TITLE -d DIR -l LOCATE [-m PROBE] [-s MS] [-W S] [-T S] [-o FILE] [-I FRAC] -- CMD...\n");
        return 2;
    }

    dpy = XOpenDisplay(NULL);
    if (!dpy) { fprintf(stderr, "xmeasure: cannot open display\n"); return 1; }
    XSetErrorHandler(ignore_x_errors);
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    XSync(dpy, False);

    char dir_copy[4096], parent[4096];
    snprintf(dir_copy, sizeof dir_copy, "%s", dir);
    snprintf(dir_base, sizeof dir_base, "%s", basename(dir_copy));
    snprintf(dir_copy, sizeof dir_copy, "%s", dir);
    snprintf(parent, sizeof parent, "%s", dirname(dir_copy));
    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd < 0 || inotify_add_watch(inotify_fd, parent, IN_DELETE | IN_MOVED_FROM) < 0) {
        perror(parent);
        return 1;
    }

    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old_mask);
    signal_fd = signalfd(-1, &chld, SFD_NONBLOCK | SFD_CLOEXEC);

    const int out_fd = open(output, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out_fd < 0) { perror(output); return 1; }
    int idle = wait_idle(idle_frac, 10000);
    const double t_launch = now_ms();
    spawn(argv + optind, out_fd, out_fd);
    if (!pump(t_launch + window_timeout * 1000, have_window)) {
        printf("status=nowindow\n");
        return 3;
    }
    watch_foreign_target();
    pump(now_ms() + settle, NULL);

    char probe_out[512] = "";
    if (probe) {
        char *sh[] = {"/bin/sh", "-c", (char *)probe, NULL};
        run_helper(sh, probe_out, sizeof probe_out, NULL);
        probe_out[strcspn(probe_out, "\r\n")] = '\0';
    }

    char env_window[32], env_pid[32];
    snprintf(env_window, sizeof env_window, "0x%lx", (unsigned long)window);
    snprintf(env_pid, sizeof env_pid, "%d", (int)target);
    setenv("XM_WINDOW", env_window, 1);
    setenv("XM_PID", env_pid, 1);
    char where[256] = "";
    char *sh[] = {"/bin/sh", "-c", (char *)locate, NULL};
    int x, y;
    if (!run_helper(sh, where, sizeof where, NULL) || sscanf(where, "%d %d", &x, &y) != 2) {
        printf("status=nolocate map=%.1f\n", t_map - t_launch);
        return 4;
    }
    /* The probes' own processes are gone; let what they stirred settle. */
    idle = wait_idle(idle_frac, 5000) && idle;
    /* The pointer goes there first and its arrival is handled, as a hand's
     * would be, before the button goes down. */
    XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime);
    XSync(dpy, False);
    pump(now_ms() + 150, NULL);

    const long hwm = target > 0 ? vm_hwm_kib(target) : -1;
    XTestFakeButtonEvent(dpy, 1, True, CurrentTime);
    XSync(dpy, False);
    pump(now_ms() + 40, NULL);
    XTestFakeButtonEvent(dpy, 1, False, CurrentTime);
    XSync(dpy, False);
    const double t_answer = now_ms();

    pump(t_answer + answer_timeout * 1000, finished);
    note_target_exit();

    struct stat st;
    const int done = stat(dir, &st) != 0;
    printf("status=ok map=%.1f exit=%.1f gone=%.1f rss_kib=%ld hwm_kib=%ld done=%d idle=%d pid=%d probe=\"%s\"\n",
           t_map - t_launch, t_target_exit >= 0 ? t_target_exit - t_answer : -1.0,
           t_gone >= 0 ? t_gone - t_answer : -1.0, target_rss, hwm, done, idle, (int)target, probe_out);
    return 0;
}
