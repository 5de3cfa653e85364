/* Quillmark for C and every language that calls C (Python's ctypes, Go's cgo,
 * Rust's FFI): an engine scores one Windows executable at a time and answers
 * the same JSON record the quillmark program prints with --json.
 *
 *   qm_options *o = qm_options_new();
 *   qm_options_set_data_folder(o, "/usr/share/quillmark/Data");
 *   qm_engine *e = NULL;
 *   char *error = NULL;
 *   if (qm_engine_new(o, &e, &error) != QM_OK) { ...; qm_string_free(error); }
 *   qm_options_free(o);
 *   qm_result *r = NULL;
 *   if (qm_engine_scan_file(e, "suspect.exe", &r, &error) == QM_OK) {
 *     printf("%s\n", qm_result_json(r));
 *     qm_result_free(r);
 *   }
 *   qm_engine_free(e);
 *
 * Strings are UTF-8 (file names are bytes, as the system gives them). Every
 * string a function hands out through a char ** belongs to the caller and is
 * freed with qm_string_free; strings answered as const char * belong to the
 * object they come from and live as long as it. One engine serves one thread
 * at a time; use one engine per thread. Valid C99. */
#ifndef QUILLMARK_QUILLMARK_C_H
#define QUILLMARK_QUILLMARK_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(QUILLMARK_BUILDING_LIBRARY)
#define QM_C_API __declspec(dllexport)
#else
#define QM_C_API __declspec(dllimport)
#endif
#else
#define QM_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome of a call. */
typedef enum qm_status {
  QM_OK = 0,
  QM_ERROR_INVALID_ARGUMENT = 1, /* a null handle, an unknown rule name, a bad value */
  QM_ERROR_KNOWLEDGE = 2,        /* a knowledge or certificate file cannot be used (qm_engine_new
                                    with qm_options_set_strict) */
  QM_ERROR_IO = 3,               /* the file could not be read, or changed while it was read */
  QM_ERROR_NOT_ANALYZED = 4,     /* the file was read but gave no verdict (not a PE image, no rule
                                    applied); the result still says why */
  QM_ERROR_INTERNAL = 5          /* an error inside the library (out of memory, a fault) */
} qm_status;

typedef struct qm_options qm_options;
typedef struct qm_engine qm_engine;
typedef struct qm_result qm_result;

/* The library's version, "MAJOR.MINOR.PATCH"; static storage. */
QM_C_API const char *qm_version(void);
/* A short English text for a status; static storage. */
QM_C_API const char *qm_status_text(qm_status status);
/* Frees a string the library handed out (NULL is allowed). */
QM_C_API void qm_string_free(char *text);

/* Options of a new engine; NULL when out of memory. */
QM_C_API qm_options *qm_options_new(void);
QM_C_API void qm_options_free(qm_options *options);
/* The folder of the knowledge files (default: the installed ones). */
QM_C_API qm_status qm_options_set_data_folder(qm_options *options, const char *folder);
/* A further certificate file (PEM or DER) whose certificates are roots of
 * code signatures; may be called more than once. */
QM_C_API qm_status qm_options_add_ca_file(qm_options *options, const char *file);
/* Runs only the named rules ("mhRuleEntropy", "entropy", "double-extension");
 * may be called more than once. Unknown names give QM_ERROR_INVALID_ARGUMENT. */
QM_C_API qm_status qm_options_add_rule(qm_options *options, const char *rule);
/* Reads no more than this many bytes of a file (0: the default, 4 GiB). */
QM_C_API qm_status qm_options_set_max_file_size(qm_options *options, uint64_t bytes);
/* A file scoring this percentage or more is flagged (default 50). */
QM_C_API qm_status qm_options_set_threshold(qm_options *options, double percent);
/* Nonzero: qm_engine_new fails with QM_ERROR_KNOWLEDGE when a knowledge or
 * certificate file cannot be used, instead of going on without it (the
 * problems are then in every result's warnings). */
QM_C_API qm_status qm_options_set_strict(qm_options *options, int strict);

/* A new engine with these options (NULL: the defaults). On failure *engine
 * is NULL and *error, when error is not NULL, tells why. The options may be
 * freed afterwards. */
QM_C_API qm_status qm_engine_new(const qm_options *options, qm_engine **engine, char **error);
QM_C_API void qm_engine_free(qm_engine *engine);
/* Problems with the knowledge and certificate files found when the engine
 * was made, as a JSON array of texts ("[]" when there are none); the caller
 * frees it with qm_string_free. */
QM_C_API char *qm_engine_warnings(qm_engine *engine);

/* Analyses one file. *result is set whenever the call returns QM_OK,
 * QM_ERROR_IO or QM_ERROR_NOT_ANALYZED (its JSON then has "error");
 * otherwise it is NULL and *error (when not NULL) says why. */
QM_C_API qm_status qm_engine_scan_file(qm_engine *engine, const char *path, qm_result **result,
                                       char **error);

QM_C_API void qm_result_free(qm_result *result);
/* The JSON record, on one line, exactly as "quillmark scan --json" prints it. */
QM_C_API const char *qm_result_json(const qm_result *result);
/* Nonzero when the engine gave a verdict. */
QM_C_API int qm_result_analyzed(const qm_result *result);
/* The overall percentage (0 without a verdict). */
QM_C_API double qm_result_percent(const qm_result *result);
/* Nonzero when the file was analysed and scored at or above the threshold. */
QM_C_API int qm_result_flagged(const qm_result *result);
/* The threat identifier of the verdict. */
QM_C_API int32_t qm_result_threat_id(const qm_result *result);
/* Why the file was not analysed; "" when it was. */
QM_C_API const char *qm_result_error(const qm_result *result);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMARK_QUILLMARK_C_H */
