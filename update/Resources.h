// The program's own resources: the firmware image travels inside the
// executable as type "FILE", id 143.
#pragma once

#include <cstdint>

const int kFirmwareResourceId = 143;
extern const char kFirmwareResourceType[]; // "FILE"

class IResourceSource
{
public:
    virtual ~IResourceSource() {}
    // Finds a resource by type name and id; false when there is none.
    virtual bool Find(const char* pszType, int nId, const char** ppData, uint32_t* pnSize) = 0;
};

IResourceSource& ProgramResources();
