// C interface of the SDK's upload library liborlacppupload, limited to the calls this
// module makes. Configurations, engines and resources are opaque handles owned by the
// library; response buffers and error objects are valid only during the completion call.
#pragma once

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
// mingw-w64 exports every symbol of a DLL without explicit exports, and its import
// libraries resolve calls without dllimport.
#define ORLA_UPLOAD_API
#else
#define ORLA_UPLOAD_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// userData as given to Upload_Engine_StartUpload; progress from 0 to 1.
typedef void (*Upload_ProgressCallback)(void *userData, float progress);
// userData, response buffer, request (not read by this module), error (null on success).
typedef void (*Upload_CompleteCallback)(void *userData, void *response, void *request, void *error);

ORLA_UPLOAD_API void *Upload_Config_Create(const char *appName, const char *appSecret);
ORLA_UPLOAD_API void Upload_Config_test_set(void *config, bool testEnvironment);
ORLA_UPLOAD_API void Upload_Config_Destroy(void *config);

// The engine keeps what it needs of `config`, which may be destroyed right after.
ORLA_UPLOAD_API void *Upload_Engine_Create(void *config);
ORLA_UPLOAD_API void Upload_Engine_Destroy(void *engine);
// May return before the upload has finished. Calls onComplete exactly once per upload,
// on any thread (possibly before returning), and onProgress any number of times.
ORLA_UPLOAD_API void Upload_Engine_StartUpload(void *engine, void *userData, void *resource,
                                               Upload_ProgressCallback onProgress,
                                               Upload_CompleteCallback onComplete);

ORLA_UPLOAD_API void *Upload_Resource_Create(const char *filePath, const char *business);
ORLA_UPLOAD_API void Upload_Resource_suffix_set(void *resource, const char *suffix);
ORLA_UPLOAD_API void Upload_Resource_Destroy(void *resource);

// The response body's bytes (not NUL-terminated) and their count.
ORLA_UPLOAD_API const char *Upload_Buffer_GetData(void *buffer);
ORLA_UPLOAD_API int Upload_Buffer_GetSize(void *buffer);

ORLA_UPLOAD_API int Upload_Error_code_get(void *error);
ORLA_UPLOAD_API const char *Upload_Error_message_get(void *error);

#ifdef __cplusplus
}
#endif
