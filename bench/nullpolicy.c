/* A Postfix policy server that answers DUNNO to every request and does nothing
 * else: the floor any policy service costs Postfix, measured beside korvane's
 * policy door. A thread per connection, as korvane serves it.
 * Usage: nullpolicy /path/to.sock */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static void *serve(void *arg) {
  int fd = (int)(intptr_t)arg;
  char buf[65536];
  size_t have = 0;
  for (;;) {
    ssize_t n = read(fd, buf + have, sizeof buf - have);
    if (n <= 0) break;
    have += (size_t)n;
    /* Every empty line ends a request: answer each one. */
    size_t start = 0;
    for (size_t i = 1; i < have; i++) {
      if (buf[i] == '\n' && buf[i - 1] == '\n') {
        static const char answer[] = "action=DUNNO\n\n";
        if (write(fd, answer, sizeof answer - 1) < 0) goto done;
        start = i + 1;
      }
    }
    memmove(buf, buf + start, have - start);
    have -= start;
    if (have == sizeof buf) break;
  }
done:
  close(fd);
  return NULL;
}

int main(int argc, char **argv) {
  struct sockaddr_un addr = {.sun_family = AF_UNIX};
  if (argc != 2 || strlen(argv[1]) >= sizeof addr.sun_path) {
    fprintf(stderr, "usage: nullpolicy /path/to.sock\n");
    return 2;
  }
  strcpy(addr.sun_path, argv[1]);
  unlink(argv[1]);
  umask(0); /* Postfix's smtpd must be able to connect */
  int l = socket(AF_UNIX, SOCK_STREAM, 0);
  if (l < 0 || bind(l, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(l, 128) != 0) {
    perror("nullpolicy");
    return 1;
  }
  for (;;) {
    int fd = accept(l, NULL, NULL);
    if (fd < 0) continue;
    pthread_t t;
    if (pthread_create(&t, NULL, serve, (void *)(intptr_t)fd) != 0) {
      close(fd);
      continue;
    }
    pthread_detach(t);
  }
}
