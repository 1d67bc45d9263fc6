/* Floors for construction and policy_hash, measured outside Python:
 *   parse_floor yaml <iterations> <file>...  libyaml's parser over the files'
 *                                            texts, events produced and
 *                                            discarded (parse only)
 *   parse_floor sha <iterations> <bytes>     SHA-256 of that many bytes
 * Prints the fastest iteration in nanoseconds: the minimum is the estimate
 * least disturbed by a noisy machine. */
#include <openssl/evp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <yaml.h>

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static char* read_file(const char* path, size_t* length) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  fseek(file, 0, SEEK_SET);
  char* text = malloc((size_t)size + 1);
  if (text != NULL && fread(text, 1, (size_t)size, file) != (size_t)size) {
    free(text);
    text = NULL;
  }
  fclose(file);
  *length = (size_t)size;
  return text;
}

/* Returns the number of events, or -1 on a parse error. */
static long parse_once(const char* text, size_t length) {
  yaml_parser_t parser;
  if (!yaml_parser_initialize(&parser)) return -1;
  yaml_parser_set_input_string(&parser, (const unsigned char*)text, length);
  long events = 0;
  for (;;) {
    yaml_event_t event;
    if (!yaml_parser_parse(&parser, &event)) {
      events = -1;
      break;
    }
    yaml_event_type_t type = event.type;
    yaml_event_delete(&event);
    ++events;
    if (type == YAML_STREAM_END_EVENT) break;
  }
  yaml_parser_delete(&parser);
  return events;
}

static int run_yaml(int iterations, int count, char** paths) {
  char** texts = calloc((size_t)count, sizeof(char*));
  size_t* lengths = calloc((size_t)count, sizeof(size_t));
  for (int i = 0; i < count; ++i) {
    texts[i] = read_file(paths[i], &lengths[i]);
    if (texts[i] == NULL) {
      fprintf(stderr, "cannot read %s\n", paths[i]);
      return 1;
    }
  }
  uint64_t best = UINT64_MAX;
  long events = 0;
  for (int iteration = 0; iteration < iterations; ++iteration) {
    uint64_t start = now_ns();
    events = 0;
    for (int i = 0; i < count; ++i) {
      long parsed = parse_once(texts[i], lengths[i]);
      if (parsed < 0) {
        fprintf(stderr, "parse error in %s\n", paths[i]);
        return 1;
      }
      events += parsed;
    }
    uint64_t elapsed = now_ns() - start;
    if (elapsed < best) best = elapsed;
  }
  printf("%llu %ld\n", (unsigned long long)best, events);
  for (int i = 0; i < count; ++i) free(texts[i]);
  free(texts);
  free(lengths);
  return 0;
}

static int run_sha(int iterations, size_t bytes) {
  unsigned char* data = malloc(bytes + 1);
  memset(data, 'x', bytes);
  unsigned char digest[EVP_MAX_MD_SIZE];
  const EVP_MD* sha256 = EVP_sha256();
  uint64_t best = UINT64_MAX;
  unsigned checksum = 0;
  for (int iteration = 0; iteration < iterations; ++iteration) {
    uint64_t start = now_ns();
    EVP_Digest(data, bytes, digest, NULL, sha256, NULL);
    uint64_t elapsed = now_ns() - start;
    checksum += digest[0];
    if (elapsed < best) best = elapsed;
  }
  printf("%llu %u\n", (unsigned long long)best, checksum);
  free(data);
  return 0;
}

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "yaml") == 0) {
    return run_yaml(atoi(argv[2]), argc - 3, argv + 3);
  }
  if (argc == 4 && strcmp(argv[1], "sha") == 0) {
    return run_sha(atoi(argv[2]), (size_t)strtoull(argv[3], NULL, 10));
  }
  fprintf(stderr, "usage: parse_floor yaml <iterations> <file>... | sha <iterations> <bytes>\n");
  return 2;
}
