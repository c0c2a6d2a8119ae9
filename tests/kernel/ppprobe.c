/* The kernel test's probe: the few ppdev ioctls quorvexctl does not issue
 * itself, and experiments that show what the kernel's parport driver does at
 * its edges. Built static, so the guest needs no libraries for it. Every
 * blocking ioctl runs under an interval timer, so nothing here hangs: a call
 * that sleeps shows up as "EINTR after N ms". */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long g_start;

static long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void pause_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

static void on_alarm(int signal) {
    (void)signal;
}

static void set_timer(long ms) {
    struct itimerval it = {{0, 0}, {ms / 1000, (ms % 1000) * 1000}};
    setitimer(ITIMER_REAL, &it, NULL);
}

static void catch_alarm(int restart) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_alarm;
    action.sa_flags = restart ? SA_RESTART : 0;
    sigaction(SIGALRM, &action, NULL);
}

/* One ioctl, interrupted by SIGALRM after limit ms; prints how it ended. */
static int timed(const char *label, int fd, unsigned long request, void *arg, long limit) {
    const long start = now_ms();
    set_timer(limit);
    const int rc = ioctl(fd, request, arg);
    const int error = errno;
    set_timer(0);
    printf("[%5ld ms] %s: %s after %ld ms\n", start - g_start, label,
           rc == 0 ? "ok" : strerrorname_np(error), now_ms() - start);
    fflush(stdout);
    errno = error;
    return rc;
}

static int open_port(const char *path) {
    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        printf("open %s: %s (%s)\n", path, strerrorname_np(errno), strerror(errno));
        exit(1);
    }
    return fd;
}

/* /proc/sys/dev/parport/parportN/devices/active for the port of a node. */
static void show_active(const char *label, int fd) {
    struct stat st;
    char path[96], text[64] = "";
    fstat(fd, &st);
    snprintf(path, sizeof path, "/proc/sys/dev/parport/parport%u/devices/active",
             minor(st.st_rdev));
    FILE *file = fopen(path, "r");
    if (file) {
        if (!fgets(text, sizeof text, file))
            text[0] = 0;
        fclose(file);
    }
    text[strcspn(text, "\n")] = 0;
    printf("[%5ld ms] %s: active = %s\n", now_ms() - g_start, label, text);
    fflush(stdout);
}

/* Claims, reads or writes the data register, releases. */
static int data_register(const char *path, const char *write) {
    const int fd = open_port(path);
    unsigned char value = write ? (unsigned char)strtoul(write, NULL, 16) : 0;
    if (timed("PPCLAIM", fd, PPCLAIM, NULL, 5000) < 0)
        return 1;
    const int rc = ioctl(fd, write ? PPWDATA : PPRDATA, &value);
    if (rc == 0)
        printf("%s data %02Xh\n", path, value);
    ioctl(fd, PPRELEASE);
    close(fd);
    return rc == 0 ? 0 : 1;
}

/* Another open in the same process claims while the first holds the port. */
static void second_open(const char *path) {
    const int first = open_port(path), second = open_port(path);
    timed("first PPCLAIM", first, PPCLAIM, NULL, 2000);
    timed("second open's PPCLAIM while the first holds", second, PPCLAIM, NULL, 2000);
    close(second);
    close(first);
}

/* A claim interrupted by a signal, and what that descriptor meets later. */
static void interrupted_claim(const char *path, int restart) {
    unsigned char byte = 0;
    catch_alarm(restart);
    printf("-- SIGALRM %s SA_RESTART\n", restart ? "with" : "without");
    const int holder = open_port(path), waiter = open_port(path);
    timed("holder PPCLAIM", holder, PPCLAIM, NULL, 1000);
    timed("waiter PPCLAIM", waiter, PPCLAIM, NULL, 1000);
    show_active("after the interrupted claim", holder);
    timed("holder PPRELEASE", holder, PPRELEASE, NULL, 1000);
    show_active("after the holder released", holder);
    timed("waiter PPWDATA", waiter, PPWDATA, &byte, 1000);
    timed("holder PPCLAIM again", holder, PPCLAIM, NULL, 1000);
    timed("waiter PPCLAIM again", waiter, PPCLAIM, NULL, 1000);
    timed("waiter PPRELEASE", waiter, PPRELEASE, NULL, 1000);
    timed("holder PPCLAIM", holder, PPCLAIM, NULL, 1000);
    timed("holder PPRELEASE", holder, PPRELEASE, NULL, 1000);

    printf("-- the interrupted descriptor closed instead\n");
    const int third = open_port(path);
    timed("holder PPCLAIM", holder, PPCLAIM, NULL, 1000);
    timed("third PPCLAIM", third, PPCLAIM, NULL, 1000);
    timed("holder PPRELEASE", holder, PPRELEASE, NULL, 1000);
    show_active("after the holder released", holder);
    close(third);
    show_active("after the third closed", holder);
    timed("holder PPCLAIM", holder, PPCLAIM, NULL, 1000);
    close(waiter);
    close(holder);
    catch_alarm(0);
}

static void misuse(const char *path) {
    unsigned char byte = 0;
    const int fd = open_port(path);
    timed("PPWDATA before PPCLAIM", fd, PPWDATA, &byte, 1000);
    timed("PPRELEASE before PPCLAIM", fd, PPRELEASE, NULL, 1000);
    timed("PPCLAIM", fd, PPCLAIM, NULL, 1000);
    timed("PPCLAIM again", fd, PPCLAIM, NULL, 1000);
    timed("PPRELEASE", fd, PPRELEASE, NULL, 1000);
    timed("PPRELEASE again", fd, PPRELEASE, NULL, 1000);
    timed("PPRSTATUS after release", fd, PPRSTATUS, &byte, 1000);
    close(fd);
}

/* Three processes: a holder of port A that lets go (PPRELEASE, or close)
 * while a waiter sleeps in PPCLAIM on A, and a third that claims port B
 * meanwhile. */
static void across_processes(const char *a, const char *b, int by_close) {
    printf("-- the holder lets go by %s\n", by_close ? "close" : "PPRELEASE");
    fflush(stdout);
    g_start = now_ms();
    if (fork() == 0) {
        const int fd = open_port(a);
        timed("holder PPCLAIM on A", fd, PPCLAIM, NULL, 1000);
        pause_ms(1000);
        if (by_close) {
            const long start = now_ms();
            close(fd);
            printf("[%5ld ms] holder close on A: after %ld ms\n", start - g_start,
                   now_ms() - start);
        } else {
            timed("holder PPRELEASE on A", fd, PPRELEASE, NULL, 6000);
            close(fd);
        }
        _exit(0);
    }
    pause_ms(300);
    if (fork() == 0) {
        const int fd = open_port(a);
        timed("waiter PPCLAIM on A", fd, PPCLAIM, NULL, 3000);
        show_active("waiter, after its claim ended", fd);
        pause_ms(500);
        show_active("waiter, 500 ms later", fd);
        close(fd);
        _exit(0);
    }
    pause_ms(300);
    unsigned char byte = 0;
    const int fd = open_port(b);
    timed("third PPCLAIM on B", fd, PPCLAIM, NULL, 1000);
    timed("third PPWDATA on B", fd, PPWDATA, &byte, 1000);
    close(fd);
    while (wait(NULL) > 0) {
    }
}

static void claim_only(const char *path) {
    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        printf("open %s: %s\n", path, strerrorname_np(errno));
        return;
    }
    printf("open %s: ok\n", path);
    timed("PPCLAIM", fd, PPCLAIM, NULL, 2000);
    close(fd);
}

static void show_rdev(const char *path) {
    struct stat st;
    if (stat(path, &st) < 0)
        printf("%s: %s\n", path, strerrorname_np(errno));
    else
        printf("%s: %s %u:%u mode %04o owner %u:%u\n", path,
               S_ISCHR(st.st_mode) ? "char" : "not char", major(st.st_rdev), minor(st.st_rdev),
               st.st_mode & 07777, st.st_uid, st.st_gid);
}

int main(int argc, char **argv) {
    g_start = now_ms();
    catch_alarm(0);
    const char *command = argc > 1 ? argv[1] : "";
    if (!strcmp(command, "rdata") && argc == 3)
        return data_register(argv[2], NULL);
    if (!strcmp(command, "wdata") && argc == 4)
        return data_register(argv[2], argv[3]);
    if (!strcmp(command, "second-open") && argc == 3)
        second_open(argv[2]);
    else if (!strcmp(command, "interrupt") && argc == 3) {
        interrupted_claim(argv[2], 0);
        interrupted_claim(argv[2], 1);
    } else if (!strcmp(command, "misuse") && argc == 3)
        misuse(argv[2]);
    else if (!strcmp(command, "across") && argc == 4) {
        across_processes(argv[2], argv[3], 0);
        across_processes(argv[2], argv[3], 1);
    } else if (!strcmp(command, "claim") && argc >= 3)
        for (int i = 2; i < argc; ++i)
            claim_only(argv[i]);
    else if (!strcmp(command, "stat") && argc >= 3)
        for (int i = 2; i < argc; ++i)
            show_rdev(argv[i]);
    else {
        fprintf(stderr, "usage: ppprobe rdata DEV | wdata DEV HEX | second-open DEV | "
                        "interrupt DEV | misuse DEV | across DEV_A DEV_B | claim DEV... | "
                        "stat PATH...\n");
        return 2;
    }
    return 0;
}
