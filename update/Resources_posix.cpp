// Builds without a resource section carry the firmware text as an array
// generated from resources/firmware.hex; it is found by the same type name
// and id as the Windows resource.
#include "Resources.h"

#include <cstring>

extern const unsigned char kEmbeddedFirmwareHex[];
extern const uint32_t kEmbeddedFirmwareHex_size;

const char kFirmwareResourceType[] = "FILE";

namespace {

class CEmbeddedResources : public IResourceSource
{
public:
    bool Find(const char* pszType, int nId, const char** ppData, uint32_t* pnSize) override
    {
        if (!pszType || std::strcmp(pszType, kFirmwareResourceType) != 0 || nId != kFirmwareResourceId)
            return false;
        *ppData = reinterpret_cast<const char*>(kEmbeddedFirmwareHex);
        *pnSize = kEmbeddedFirmwareHex_size;
        return true;
    }
};

} // namespace

IResourceSource& ProgramResources()
{
    static CEmbeddedResources resources;
    return resources;
}
