#include "CHttpData.h"

#include <string>

CHttpData::CHttpData(bool autoRelease) : m_bAutoRealease(autoRelease) {}

CHttpData::~CHttpData() {
    if (m_bAutoRealease)
        Release();
}

void CHttpData::Release() {
    delete[] szRespHead;
    delete[] szRespData;
    szRespHead = nullptr;
    szRespData = nullptr;
}

void CHttpData::RespHead(char* pHead) {
    if (pHead == szRespHead)
        return;
    delete[] szRespHead;
    szRespHead = pHead;
}

void CHttpData::RespData(char* pData) {
    if (pData == szRespData)
        return;
    delete[] szRespData;
    szRespData = pData;
}

CAutoString CHttpData::GetHeadAttri(CAutoString attri) const {
    if (attri.IsEmpty() || szRespHead == nullptr)
        return CAutoString("");
    const std::string head(szRespHead);
    const size_t name = head.find(attri.c_str());
    if (name == std::string::npos)
        return CAutoString("");
    const size_t lineEnd = head.find("\r\n", name);
    const size_t colon = head.find(':', name);
    if (lineEnd == std::string::npos || colon == std::string::npos || colon > lineEnd) {
        return CAutoString("");
    }
    CAutoString value(head.substr(colon + 1, lineEnd - colon - 1));
    value.Trim();
    return value;
}
