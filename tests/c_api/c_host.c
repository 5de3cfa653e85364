/* A C99 host of the library's C entry points.
 *   c_host json DATA FILE...     prints each file's JSON record, one per line
 *   c_host check DATA PE NOTPE   checks the entry points' answers and errors */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillmark/quillmark_c.h"

static int failures = 0;

#define EXPECT(cond)                                                     \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static qm_engine *make_engine(const char *data, int strict, qm_status *status, char **error) {
  qm_options *options = qm_options_new();
  qm_engine *engine = NULL;
  if (!options) return NULL;
  if (data) qm_options_set_data_folder(options, data);
  qm_options_set_strict(options, strict);
  *status = qm_engine_new(options, &engine, error);
  qm_options_free(options);
  return engine;
}

static int print_records(const char *data, int count, char **files) {
  qm_status status;
  char *error = NULL;
  qm_engine *engine = make_engine(data, 0, &status, &error);
  int i;
  if (!engine) {
    fprintf(stderr, "c_host: %s: %s\n", qm_status_text(status), error ? error : "");
    qm_string_free(error);
    return 2;
  }
  for (i = 0; i < count; ++i) {
    qm_result *result = NULL;
    status = qm_engine_scan_file(engine, files[i], &result, &error);
    if (!result) {
      fprintf(stderr, "c_host: %s: %s\n", files[i], error ? error : qm_status_text(status));
      qm_string_free(error);
      error = NULL;
      continue;
    }
    printf("%s\n", qm_result_json(result));
    qm_result_free(result);
  }
  qm_engine_free(engine);
  return 0;
}

static int check(const char *data, const char *pe, const char *not_pe) {
  qm_status status;
  char *error = NULL;
  qm_engine *engine;
  qm_result *result = NULL;
  qm_options *options;
  char *warnings;

  EXPECT(strlen(qm_version()) >= 5 && strchr(qm_version(), '.') != NULL);
  EXPECT(strcmp(qm_status_text(QM_OK), "success") == 0);

  /* Options are checked as they are given. */
  options = qm_options_new();
  EXPECT(options != NULL);
  EXPECT(qm_options_add_rule(options, "entropy") == QM_OK);
  EXPECT(qm_options_add_rule(options, "double-extension") == QM_OK);
  EXPECT(qm_options_add_rule(options, "mhRuleSignedFile") == QM_OK);
  EXPECT(qm_options_add_rule(options, "no-such-rule") == QM_ERROR_INVALID_ARGUMENT);
  EXPECT(qm_options_set_threshold(options, 101.0) == QM_ERROR_INVALID_ARGUMENT);
  EXPECT(qm_options_set_data_folder(options, "") == QM_ERROR_INVALID_ARGUMENT);
  EXPECT(qm_options_set_data_folder(NULL, data) == QM_ERROR_INVALID_ARGUMENT);
  qm_options_free(options);
  EXPECT(qm_engine_new(NULL, NULL, &error) == QM_ERROR_INVALID_ARGUMENT);
  qm_string_free(error);
  error = NULL;

  /* A knowledge folder without knowledge: strict engines refuse it; others
   * go on and say so in every record. */
  engine = make_engine("/nonexistent-quillmark-data", 1, &status, &error);
  EXPECT(engine == NULL && status == QM_ERROR_KNOWLEDGE);
  EXPECT(error != NULL && strstr(error, "cannot be used") != NULL);
  qm_string_free(error);
  error = NULL;
  engine = make_engine("/nonexistent-quillmark-data", 0, &status, &error);
  EXPECT(engine != NULL && status == QM_OK);
  warnings = qm_engine_warnings(engine);
  EXPECT(warnings != NULL && strstr(warnings, "hmthinfo.mdict") != NULL);
  qm_string_free(warnings);
  qm_engine_free(engine);

  engine = make_engine(data, 1, &status, &error);
  EXPECT(engine != NULL && status == QM_OK);
  if (!engine) return 1;
  warnings = qm_engine_warnings(engine);
  EXPECT(warnings != NULL && strcmp(warnings, "[]") == 0);
  qm_string_free(warnings);

  EXPECT(qm_engine_scan_file(engine, pe, &result, &error) == QM_OK);
  EXPECT(result != NULL && qm_result_analyzed(result) == 1);
  EXPECT(result != NULL && qm_result_threat_id(result) != 0);
  EXPECT(result != NULL && strncmp(qm_result_json(result), "{\"file\":", 8) == 0);
  EXPECT(result != NULL && strcmp(qm_result_error(result), "") == 0);
  qm_result_free(result);
  result = NULL;

  EXPECT(qm_engine_scan_file(engine, not_pe, &result, &error) == QM_ERROR_NOT_ANALYZED);
  EXPECT(result != NULL && qm_result_analyzed(result) == 0 && qm_result_flagged(result) == 0);
  EXPECT(result != NULL && strstr(qm_result_json(result), "\"error\":\"not a PE image\"") != NULL);
  qm_result_free(result);
  result = NULL;

  EXPECT(qm_engine_scan_file(engine, "/nonexistent/file.exe", &result, &error) == QM_ERROR_IO);
  EXPECT(result != NULL && strstr(qm_result_json(result), "\"analyzed\":false") != NULL);
  qm_result_free(result);
  result = NULL;

  EXPECT(qm_engine_scan_file(engine, "", &result, &error) == QM_ERROR_INVALID_ARGUMENT);
  EXPECT(result == NULL && error != NULL);
  qm_string_free(error);
  qm_engine_free(engine);
  qm_string_free(NULL);
  return failures ? 1 : 0;
}

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "json") == 0) return print_records(argv[2], argc - 3, argv + 3);
  if (argc == 5 && strcmp(argv[1], "check") == 0) return check(argv[2], argv[3], argv[4]);
  fprintf(stderr, "usage: c_host json DATA FILE... | c_host check DATA PE NOTPE\n");
  return 2;
}
