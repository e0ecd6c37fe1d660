/* The bare peer of the call benchmarks: answers each request frame
 * ("Content-Length: N\r\n\r\n" + a JSON-RPC request) with
 * {"jsonrpc":"2.0","id":ID,"result":PARAMS}, copying the request's id and
 * params without parsing the rest, so what it costs is the socket and the
 * framing and nothing more. One thread per connection.
 *
 *   quillon-bench-echo SOCKET_PATH
 *
 * Prints "ready" once it listens; ends when its standard input closes. */
#define _GNU_SOURCE /* memmem */
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { kMaxHeader = 1024 };

struct buffer {
  char *data;
  size_t used, size;
};

static int reserve(struct buffer *b, size_t more) {
  if (b->used + more <= b->size) return 1;
  size_t size = b->size ? b->size : 1 << 16;
  while (size < b->used + more) size *= 2;
  char *data = realloc(b->data, size);
  if (!data) return 0;
  b->data = data;
  b->size = size;
  return 1;
}

static int write_all(int fd, const char *data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    data += n;
    length -= (size_t)n;
  }
  return 1;
}

/* The value after "key": in body, up to the next ',' or '}' at depth 0. */
static const char *find_value(const char *body, size_t length, const char *key, size_t *value_length) {
  size_t key_length = strlen(key);
  for (size_t i = 0; i + key_length < length; ++i) {
    if (memcmp(body + i, key, key_length) != 0) continue;
    size_t start = i + key_length, end = start;
    int depth = 0, in_string = 0;
    for (; end < length; ++end) {
      char c = body[end];
      if (in_string) {
        if (c == '\\') ++end;
        else if (c == '"') in_string = 0;
      } else if (c == '"') {
        in_string = 1;
      } else if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        if (depth == 0) break;
        --depth;
      } else if (c == ',' && depth == 0) {
        break;
      }
    }
    *value_length = end - start;
    return body + start;
  }
  *value_length = 4;
  return "null";
}

static int answer(int fd, const char *body, size_t length, struct buffer *out) {
  size_t id_length, params_length;
  const char *id = find_value(body, length, "\"id\":", &id_length);
  const char *params = find_value(body, length, "\"params\":", &params_length);
  static const char kHead[] = "{\"jsonrpc\":\"2.0\",\"id\":";
  static const char kResult[] = ",\"result\":";
  size_t json_length = sizeof kHead - 1 + id_length + sizeof kResult - 1 + params_length + 1;
  out->used = 0;
  if (!reserve(out, json_length + 64)) return 0;
  out->used = (size_t)snprintf(out->data, 64, "Content-Length: %zu\r\n\r\n", json_length);
  memcpy(out->data + out->used, kHead, sizeof kHead - 1), out->used += sizeof kHead - 1;
  memcpy(out->data + out->used, id, id_length), out->used += id_length;
  memcpy(out->data + out->used, kResult, sizeof kResult - 1), out->used += sizeof kResult - 1;
  memcpy(out->data + out->used, params, params_length), out->used += params_length;
  out->data[out->used++] = '}';
  return write_all(fd, out->data, out->used);
}

static void *serve(void *arg) {
  int fd = (int)(long)arg;
  struct buffer in = {0}, out = {0};
  for (;;) {
    char *end = in.used ? memmem(in.data, in.used < kMaxHeader ? in.used : kMaxHeader, "\r\n\r\n", 4) : NULL;
    if (end) {
      size_t length = strtoul(strchr(in.data, ':') + 1, NULL, 10);
      size_t start = (size_t)(end - in.data) + 4;
      if (in.used >= start + length) {
        if (!answer(fd, in.data + start, length, &out)) break;
        memmove(in.data, in.data + start + length, in.used - start - length);
        in.used -= start + length;
        continue;
      }
    }
    if (!reserve(&in, 1 << 16)) break;
    ssize_t n = read(fd, in.data + in.used, in.size - in.used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    in.used += (size_t)n;
  }
  close(fd);
  free(in.data);
  free(out.data);
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s SOCKET_PATH\n", argv[0]);
    return 2;
  }
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  if (strlen(argv[1]) >= sizeof address.sun_path) return 2;
  strcpy(address.sun_path, argv[1]);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(argv[1]);
  if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 16) != 0) {
    perror("quillon-bench-echo");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  struct pollfd watched[2] = {{.fd = listener, .events = POLLIN}, {.fd = 0, .events = POLLIN}};
  for (;;) {
    if (poll(watched, 2, -1) < 0 && errno != EINTR) break;
    if (watched[1].revents) {
      char byte;
      if (read(0, &byte, 1) <= 0) break; /* the parent is gone */
    }
    if (watched[0].revents & POLLIN) {
      int fd = accept(listener, NULL, NULL);
      if (fd < 0) continue;
      pthread_t thread;
      if (pthread_create(&thread, NULL, serve, (void *)(long)fd) != 0) {
        close(fd);
        continue;
      }
      pthread_detach(thread);
    }
  }
  unlink(argv[1]);
  return 0;
}
