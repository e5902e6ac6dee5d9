#include "CBusiness.h"

#include "CMarkup.h"

void CBusiness::InitService(IServer* server) {
    m_pService = server;
    InitOpcodeFun();
}

void CBusiness::DealMsg(const char* message) {
    CXMLOpt doc;
    if (message == nullptr || !doc.SetDoc(message))
        return;
    const CAutoString source = doc.GetValue("OpS");
    const CAutoString opcode = doc.GetValue("OpC");
    auto it = m_OpcodeMap.find(opcode);
    if (it == m_OpcodeMap.end()) {
        DefaultDeal(doc);
        return;
    }
    (this->*(it->second))(source.c_str(), doc);
}

bool CBusiness::PostMsg(const char* source, const char* target, const char* opcode,
                        const char* parameters) {
    if (source == nullptr || target == nullptr || opcode == nullptr || parameters == nullptr) {
        return false;
    }
    if (m_pService == nullptr)
        return false;
    const CAutoString envelope = BuildEnvelope(source, target, opcode, parameters);
    return m_pService->PostMessage(envelope.c_str());
}

CAutoString CBusiness::BuildEnvelope(const char* source, const char* target, const char* opcode,
                                     const char* parameters) {
    CAutoString envelope("<M><OpS>");
    envelope += EscapeValue(source);
    envelope += "</OpS><OpT>";
    envelope += EscapeValue(target);
    envelope += "</OpT><OpC>";
    envelope += EscapeValue(opcode);
    envelope += "</OpC><P>";
    envelope += parameters;
    envelope += "</P></M>";
    return envelope;
}

CAutoString CBusiness::MakeParam(const char* name, const char* value) {
    CAutoString param("<");
    param += name;
    param += ">";
    param += EscapeValue(value);
    param += "</";
    param += name;
    param += ">";
    return param;
}

CAutoString CBusiness::EscapeValue(const char* value) {
    if (value == nullptr || *value == '\0')
        return CAutoString("");
    return CMarkup::EscapeText(value, CMarkup::MNF_ESCAPEALL);
}
