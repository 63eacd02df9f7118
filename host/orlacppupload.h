// C interface of the SDK's upload library liborlacppupload.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*Upload_ProgressCallback)(void *userData, float progress);
// userData, response buffer, request (unused by this module), error (null on success)
typedef void (*Upload_CompleteCallback)(void *userData, void *response, void *request, void *error);

void *Upload_Config_Create(const char *appName, const char *appSecret);
void Upload_Config_test_set(void *config, bool testEnvironment);
void Upload_Config_Destroy(void *config);

void *Upload_Engine_Create(void *config);
void Upload_Engine_Destroy(void *engine);
void Upload_Engine_StartUpload(void *engine, void *userData, void *resource,
                               Upload_ProgressCallback onProgress,
                               Upload_CompleteCallback onComplete);

void *Upload_Resource_Create(const char *filePath, const char *business);
void Upload_Resource_suffix_set(void *resource, const char *suffix);
void Upload_Resource_Destroy(void *resource);

const char *Upload_Buffer_GetData(void *buffer);
int Upload_Buffer_GetSize(void *buffer);

int Upload_Error_code_get(void *error);
const char *Upload_Error_message_get(void *error);

#ifdef __cplusplus
}
#endif
