/* xmeasure: times a run of a Windows program under Wine by events, never by
 * polling: X's MapNotify for the window, the process's exit (wait4, which also
 * gives the peak resident set), inotify for the product's directory going away.
 *
 *   xmeasure -t TITLE -d DIR -l LOCATE [-m PROBE] [-o FILE] [-I FRAC] -- CMD...
 *
 *   -t TITLE   the exact name of the top-level window to wait for
 *   -d DIR     the directory whose removal the run waits for
 *   -l LOCATE  shell command run once the window settles; prints "X Y" to click
 *   -m PROBE   shell command run just before LOCATE; its first line: probe="..."
 *   -o FILE    where CMD's output goes (default /dev/null)
 *   -I FRAC    before the launch and the answer, wait (up to 10 s and 5 s) for
 *              CPUs at least FRAC idle over 100 ms (default 0.9; 0: no wait)
 *
 * The window gets 30 s to appear, then 1 s alone; exit and removal 10 s after
 * the answer; all times CLEARWICK_WAIT_FACTOR, as in the tests. The process
 * measured owns the window (_NET_WM_PID, set by Wine), even if not CMD (an NSIS
 * uninstaller re-runs from a temporary copy): as a child subreaper, this reaps
 * it anyway. The answer, a real XTest click made here (xdotool sleeps 100 ms
 * after the release), timed from X taking the release (XSync), when clicks fire.
 *
 * Prints one line of key=value pairs, times in ms:
 *   map     launch to MapNotify of the window
 *   exit    answer to the measured process's exit (-1: not in time)
 *   gone    answer to DIR's removal (-1: not in time)
 *   rss_kib peak resident set of the measured process (its VmHWM at exit)
 *   hwm_kib its VmHWM at the answer, read from /proc
 *   done    1 when DIR no longer exists at the end
 *   idle    1 when both waits for an idle machine succeeded (-I)
 * Exit status: 0 measured, 3 no window, 4 locate failed, 2 usage.
 */
#define _GNU_SOURCE
#include <X11/Xatom.h>
#include <X11/Xlib.h>
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
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static Display *dpy;
static int inotify_fd = -1, signal_fd = -1, pid_fd = -1;
static sigset_t old_mask;

static const char *title, *dir_base;
static double t_map = -1, t_gone = -1, t_target_exit = -1;
static pid_t target = -1;
static long target_rss = -1;

#define MAX_REAPED 256
static struct reap { pid_t pid; double t; long maxrss; } reaped[MAX_REAPED];
static int n_reaped;

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static int ignore_x_errors(Display *d, XErrorEvent *e) { (void)d; (void)e; return 0; }

/* W's property NAME if it is of TYPE, NULL otherwise; the caller XFrees it. */
static unsigned char *property(Window w, const char *name, Atom type, unsigned long *n) {
    Atom actual; int format; unsigned long after; unsigned char *data = NULL;
    if (XGetWindowProperty(dpy, w, XInternAtom(dpy, name, False), 0, 1024, False, type, &actual,
                           &format, n, &after, &data) == Success && data && actual == type)
        return data;
    if (data) XFree(data);
    return NULL;
}

/* The window's name as UTF-8: _NET_WM_NAME if set, WM_NAME otherwise. */
static int window_name_is(Window w, const char *want) {
    unsigned long n;
    unsigned char *name = property(w, "_NET_WM_NAME", XInternAtom(dpy, "UTF8_STRING", False), &n);
    if (!name) name = property(w, "WM_NAME", XA_STRING, &n);
    const int match = name && strlen(want) == n && memcmp(name, want, n) == 0;
    if (name) XFree(name);
    return match;
}

static pid_t window_pid(Window w) {
    unsigned long n;
    unsigned char *data = property(w, "_NET_WM_PID", XA_CARDINAL, &n);
    const pid_t pid = data && n >= 1 ? (pid_t)*(unsigned long *)data : -1;
    if (data) XFree(data);
    return pid;
}

/* A number from /proc/PID/status, by its key; -1 when there is none. */
static long proc_status(pid_t pid, const char *key) {
    char path[64], line[256];
    long value = -1;
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    const size_t len = strlen(key);
    while (value < 0 && fgets(line, sizeof line, f))
        if (strncmp(line, key, len) == 0 && line[len] == ':') value = atol(line + len + 1);
    fclose(f);
    return value;
}

static const struct reap *find_reaped(pid_t pid) {
    for (int i = 0; i < n_reaped; i++)
        if (reaped[i].pid == pid) return &reaped[i];
    return NULL;
}

static void note_target_exit(void) {
    const struct reap *r = target > 0 && t_target_exit < 0 ? find_reaped(target) : NULL;
    if (r) { t_target_exit = r->t; target_rss = r->maxrss; }
}

static void handle_x(void) {
    while (XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type != MapNotify || t_map >= 0) continue;
        double t = now_ms();
        if (window_name_is(ev.xmap.window, title)) {
            t_map = t;
            target = window_pid(ev.xmap.window);
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
    struct rusage ru;
    pid_t pid;
    while ((pid = wait4(-1, NULL, WNOHANG, &ru)) > 0)
        if (n_reaped < MAX_REAPED) reaped[n_reaped++] = (struct reap){pid, t, ru.ru_maxrss};
    note_target_exit();
}

/* Not our process (no subreaper path to us): its exit by pidfd, no rusage. */
static void watch_foreign_target(void) {
    if (target > 0 && !find_reaped(target) && proc_status(target, "PPid") != getpid())
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

/* ARGV with OUT_FD as its output, and as its errors too with ERR_TOO. */
static pid_t spawn(char *const argv[], int out_fd, int err_too) {
    pid_t pid = fork();
    if (pid < 0) { perror("fork"); exit(1); }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old_mask, NULL);
        dup2(out_fd, 1);
        if (err_too) dup2(out_fd, 2);
        execvp(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    return pid;
}

static pid_t waiting_for;
static int waited(void) { return find_reaped(waiting_for) != NULL; }

/* Runs a shell command to its end; its output (up to SIZE) goes to OUT. */
static int run_helper(const char *command, char *out, size_t size) {
    char *argv[] = {"/bin/sh", "-c", (char *)command, NULL};
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) { perror("pipe"); exit(1); }
    waiting_for = spawn(argv, fds[1], 0);
    close(fds[1]);
    size_t used = 0;
    ssize_t n;
    while (used + 1 < size && (n = read(fds[0], out + used, size - 1 - used)) > 0) used += n;
    out[used] = '\0';
    close(fds[0]);
    return pump(now_ms() + 60000, waited);
}

/* Busy and total jiffies of all CPUs, from /proc/stat's first line. */
static void cpu_times(unsigned long long *busy, unsigned long long *total) {
    unsigned long long v[8] = {0};
    FILE *f = fopen("/proc/stat", "r");
    if (!f || fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                     &v[4], &v[5], &v[6], &v[7]) < 4) memset(v, 0, sizeof v);
    if (f) fclose(f);
    *total = 0;
    for (int i = 0; i < 8; i++) *total += v[i];
    *busy = *total - v[3] - v[4];
}

/* Setup, not measuring: waits for other work (the prefix's services starting,
 * other people's jobs) to pause, so it lands in no measured interval. */
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
    double idle_frac = 0.9;
    int opt;
    while ((opt = getopt(argc, argv, "+t:d:l:m:o:I:")) != -1) {
        switch (opt) {
            case 't': title = optarg; break;
            case 'd': dir = optarg; break;
            case 'l': locate = optarg; break;
            case 'm': probe = optarg; break;
            case 'o': output = optarg; break;
            case 'I': idle_frac = atof(optarg); break;
            default: return 2;
        }
    }
    const char *factor_env = getenv("CLEARWICK_WAIT_FACTOR");
    const double factor = factor_env && atof(factor_env) > 0 ? atof(factor_env) : 1;
    if (!title || !dir || !locate || optind >= argc) {
        fprintf(stderr, "usage: xmeasure -t TITLE -d DIR -l LOCATE [-m PROBE] [-o FILE] [-I FRAC] -- CMD...\n");
        return 2;
    }

    dpy = XOpenDisplay(NULL);
    if (!dpy) { fprintf(stderr, "xmeasure: cannot open display\n"); return 1; }
    XSetErrorHandler(ignore_x_errors);
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    XSync(dpy, False);

    dir_base = basename(strdup(dir));
    const char *parent = dirname(strdup(dir));
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
    spawn(argv + optind, out_fd, 1);
    if (!pump(t_launch + 30000 * factor, have_window)) {
        printf("status=nowindow\n");
        return 3;
    }
    watch_foreign_target();
    pump(now_ms() + 1000, NULL);

    char probe_out[512] = "";
    if (probe) {
        run_helper(probe, probe_out, sizeof probe_out);
        probe_out[strcspn(probe_out, "\r\n")] = '\0';
    }

    char where[256] = "";
    int x, y;
    if (!run_helper(locate, where, sizeof where) || sscanf(where, "%d %d", &x, &y) != 2) {
        printf("status=nolocate map=%.1f\n", t_map - t_launch);
        return 4;
    }
    /* The probes' own processes are gone; let what they stirred settle. */
    idle = wait_idle(idle_frac, 5000) && idle;
    /* As with a hand, the pointer arrives and is handled before the press. */
    XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime);
    XSync(dpy, False);
    pump(now_ms() + 150, NULL);

    const long hwm = target > 0 ? proc_status(target, "VmHWM") : -1;
    XTestFakeButtonEvent(dpy, 1, True, CurrentTime);
    XSync(dpy, False);
    pump(now_ms() + 40, NULL);
    XTestFakeButtonEvent(dpy, 1, False, CurrentTime);
    XSync(dpy, False);
    const double t_answer = now_ms();

    pump(t_answer + 10000 * factor, finished);
    note_target_exit();

    const int done = access(dir, F_OK) != 0;
    printf("status=ok map=%.1f exit=%.1f gone=%.1f rss_kib=%ld hwm_kib=%ld done=%d idle=%d pid=%d probe=\"%s\"\n",
           t_map - t_launch, t_target_exit >= 0 ? t_target_exit - t_answer : -1.0,
           t_gone >= 0 ? t_gone - t_answer : -1.0, target_rss, hwm, done, idle, (int)target, probe_out);
    return 0;
}
