// Pipe envelopes through the router: the input is the byte stream a client writes into the
// service's pipe. It is split as the transport splits it and every message goes through the
// router's dispatch to the Portal business and its opcode table. The business's work loop takes
// the queued tasks but runs no handler, so nothing reaches the network, and its host files live in
// a scratch folder. Dispatch must never touch the resolver file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "CBusiness.h"
#include "CPipeSplitter.h"
#include "CServer.h"
#include "FuzzSupport.h"
#include "PortalServerTestSupport.h"

using orvane_fuzz::Check;

namespace {

const char kResolverText[] = "search campus.example\nnameserver 192.0.2.53\n";

// The Portal business with its task handlers switched off.
class InertPortal : public CPortalServer {
public:
    explicit InertPortal(const HostPaths& paths) : CPortalServer(paths) {}
    ~InertPortal() override { CPortalServerTestAccess::Shutdown(*this); }

protected:
    // Handlers would talk to the portal; the dispatch up to the task is what is fuzzed here.
    void RunTask(OrvaneSvr::Task& task) override { (void)task; }
};

// A second business, so that targets other than "Portal" have somewhere to go.
class CountingBusiness : public CBusiness {
public:
    void InitOpcodeFun() override { AddOpcode("Ping", &CountingBusiness::OnPing); }
    void DefaultDeal(CXMLOpt& message) override {
        (void)message;
        ++defaults;
    }
    void OnPing(const char* source, CXMLOpt& message) {
        (void)message;
        Check(source != nullptr);
        ++pings;
    }
    int pings = 0;
    int defaults = 0;
};

CPortalServer::HostPaths ScratchHostPaths() {
    const std::string dir = orvane_fuzz::ScratchDir();
    orvane_fuzz::WriteWhole(dir + "/route",
                            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU"
                            "\tWindow\tIRTT\nlo\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\t0\t0"
                            "\t0\t0\n");
    CPortalServer::HostPaths paths;
    paths.route = dir + "/route";
    paths.routeIPv6 = dir + "/ipv6_route";
    paths.resolver = dir + "/resolv.conf";
    paths.resolverSaved = dir + "/resolv.conf.saved";
    paths.osRelease = dir + "/os-release";
    paths.procRoot = dir;
    return paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const CPortalServer::HostPaths paths = ScratchHostPaths();
    orvane_fuzz::WriteWhole(paths.resolver, kResolverText);
    {
        CServer router(orvane_fuzz::ScratchDir());
        InertPortal portal(paths);
        CountingBusiness other;
        portal.InitService(&router);
        other.InitService(&router);
        router.RegisterBusiness("Other", &other);

        CPipeSplitter splitter(CPipeService::kMaxMessage);
        splitter.Feed(reinterpret_cast<const char*>(data), size,
                      [&router](CAutoString message) { router.DoWorkOnPipe(std::move(message)); });
        router.ServerStatus(-1);
    }
    Check(orvane_fuzz::ReadWhole(paths.resolver) == kResolverText);
    Check(!orvane_fuzz::Exists(paths.resolverSaved));
    return 0;
}
