// CBusiness: base of every business module. Incoming messages are dispatched through an opcode
// table of member-function handlers; outgoing messages are wrapped in the envelope
//   <M><OpS>source</OpS><OpT>target</OpT><OpC>opcode</OpC><P>parameters</P></M>
// and handed to the router.
#pragma once

#include "CAutoString.h"
#include "CXMLOpt.h"
#include "IBusiness.h"
#include "IServer.h"

#include <map>

class CBusiness : public IBusiness {
public:
    // A handler gets the sending module's name and the parsed message (read "P.x" for parameters).
    typedef void (CBusiness::*OpcodeFun)(const char* source, CXMLOpt& message);
    typedef std::map<CAutoString, OpcodeFun> OpcodeMap;

    CBusiness() = default;
    ~CBusiness() override = default;
    // A business hands its address to a router; copies would leave the router pointing elsewhere.
    CBusiness(const CBusiness&) = delete;
    CBusiness& operator=(const CBusiness&) = delete;

    // Stores the router and fills the opcode table. A business that wants messages also registers
    // itself here (server->RegisterBusiness(name, this)) in its override.
    void InitService(IServer* server) override;
    // Parses the message and calls the handler of its OpC (exact, case-sensitive), otherwise
    // DefaultDeal. An ill-formed message is dropped.
    void DealMsg(const char* message) override;
    void ServerStatus(int status) override { (void)status; }
    // Opcodes without a handler end here; ignored by default.
    virtual void DefaultDeal(CXMLOpt& message) { (void)message; }
    // Fills m_OpcodeMap; called by InitService.
    virtual void InitOpcodeFun() {}

    // Builds the envelope and passes it to the router. Dropped (false) when any part is null or no
    // router is attached. parameters is markup and goes in as it is: build it with MakeParam.
    bool PostMsg(const char* source, const char* target, const char* opcode,
                 const char* parameters);
    IServer* GetServer() const { return m_pService; }

    // The envelope text. The three names are escaped; parameters is inserted unchanged.
    static CAutoString BuildEnvelope(const char* source, const char* target, const char* opcode,
                                     const char* parameters);
    // "<name>value</name>" with value escaped, so "<" or "&" in a password survives the trip; the
    // receiver's XML reader decodes it. A null value gives an empty element.
    static CAutoString MakeParam(const char* name, const char* value);
    // Element-content escaping of "&", "<" and ">".
    static CAutoString EscapeValue(const char* value);

protected:
    // Sets the handler of opcode, replacing an earlier one. Derived handlers are accepted directly:
    // AddOpcode("ClientStart", &CMyBusiness::Start).
    template <class Derived>
    void AddOpcode(const char* opcode, void (Derived::*handler)(const char*, CXMLOpt&)) {
        m_OpcodeMap[CAutoString(opcode)] = static_cast<OpcodeFun>(handler);
    }

    IServer* m_pService = nullptr;  // not owned; null until InitService
    OpcodeMap m_OpcodeMap;
};
