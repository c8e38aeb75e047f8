// The firmware text is a resource of the executable itself (type "FILE",
// id 143), found in the program's own module.
#include "Resources.h"

#include <windows.h>

const char kFirmwareResourceType[] = "FILE";

namespace {

class CModuleResources : public IResourceSource
{
public:
    bool Find(const char* pszType, int nId, const char** ppData, uint32_t* pnSize) override
    {
        if (!pszType)
            return false;
        HMODULE hModule = GetModuleHandleA(nullptr);
        HRSRC hInfo = FindResourceA(hModule, MAKEINTRESOURCEA(nId), pszType);
        if (!hInfo)
            return false;
        HGLOBAL hData = LoadResource(hModule, hInfo);
        if (!hData)
            return false;
        const void* pData = LockResource(hData);
        if (!pData)
            return false;
        *ppData = static_cast<const char*>(pData);
        *pnSize = SizeofResource(hModule, hInfo);
        return true;
    }
};

} // namespace

IResourceSource& ProgramResources()
{
    static CModuleResources resources;
    return resources;
}
