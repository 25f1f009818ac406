#include "GMBLSource.h"

bool GMBLSource::Op07() {
    Op15();
    Op18();
    return true;
}

std::wstring GMBLSource::GetDisplayName() {
    return L"Pellucor";
}

std::wstring GMBLSource::GetPortLocation() {
    return m_portRef.GetLocation();
}
