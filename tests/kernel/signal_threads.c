/* korvex-signal-threads: a terminal's Ctrl+C as it would reach a Wine program if it landed in
 * each of its threads, or any other signal: sent to every thread of every process whose command
 * line holds MATCH (tgkill, thread by thread), again every MILLISECONDS until the file STOP
 * exists. Threads younger than a second are left out: Wine starts a thread for each Ctrl+C it
 * takes, and signalling those too would start threads without end.
 *   korvex-signal-threads SIGNAL MILLISECONDS MATCH STOP
 * Prints how many signals it sent to how many threads. */
#define _GNU_SOURCE
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { kMaxThreads = 4096 };

static int Matches(const char *pid, const char *match) {
  char path[64], line[4096];
  snprintf(path, sizeof path, "/proc/%s/cmdline", pid);
  FILE *file = fopen(path, "r");
  if (!file) return 0;
  const size_t n = fread(line, 1, sizeof line - 1, file);
  fclose(file);
  for (size_t i = 0; i < n; ++i) {
    if (line[i] == 0) line[i] = ' ';
  }
  line[n] = 0;
  return strstr(line, match) != NULL && getpid() != atoi(pid);
}

/* Seconds since the thread started, from its stat line's 22nd field (clock ticks after boot). */
static double Age(const char *pid, const char *tid) {
  char path[96], line[1024];
  snprintf(path, sizeof path, "/proc/%s/task/%s/stat", pid, tid);
  FILE *file = fopen(path, "r");
  if (!file) return 0;
  const size_t n = fread(line, 1, sizeof line - 1, file);
  fclose(file);
  line[n] = 0;
  /* The name in parentheses may hold spaces: the fields are counted after its end. */
  char *field = strrchr(line, ')');
  unsigned long long started = 0;
  for (int i = 2; field && i < 22; ++i) field = strchr(field + 1, ' ');
  if (field) started = strtoull(field + 1, NULL, 10);
  double uptime = 0;
  file = fopen("/proc/uptime", "r");
  if (file) {
    if (fscanf(file, "%lf", &uptime) != 1) uptime = 0;
    fclose(file);
  }
  return uptime - (double)started / (double)sysconf(_SC_CLK_TCK);
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fputs("usage: korvex-signal-threads SIGNAL MILLISECONDS MATCH STOP\n", stderr);
    return 2;
  }
  const int number = atoi(argv[1]);
  const long interval = atol(argv[2]);
  const char *match = argv[3], *stop = argv[4];
  long sent = 0;
  long seen[kMaxThreads];
  int threads = 0;
  const struct timespec pause = {interval / 1000, (interval % 1000) * 1000000L};
  while (access(stop, F_OK) != 0) {
    DIR *processes = opendir("/proc");
    struct dirent *process;
    while (processes && (process = readdir(processes)) != NULL) {
      if (process->d_name[0] < '1' || process->d_name[0] > '9') continue;
      if (!Matches(process->d_name, match)) continue;
      char tasks[64];
      snprintf(tasks, sizeof tasks, "/proc/%s/task", process->d_name);
      DIR *taskDir = opendir(tasks);
      struct dirent *task;
      while (taskDir && (task = readdir(taskDir)) != NULL) {
        if (task->d_name[0] < '1' || task->d_name[0] > '9') continue;
        if (Age(process->d_name, task->d_name) < 1.0) continue;
        const long tid = atol(task->d_name);
        if (syscall(SYS_tgkill, atol(process->d_name), tid, number) != 0) continue;
        ++sent;
        int known = 0;
        for (int i = 0; i < threads && !known; ++i) known = seen[i] == tid;
        if (!known && threads < kMaxThreads) seen[threads++] = tid;
      }
      if (taskDir) closedir(taskDir);
    }
    if (processes) closedir(processes);
    nanosleep(&pause, NULL);
  }
  printf("%ld signals %d sent to %d threads\n", sent, number, threads);
  return 0;
}
