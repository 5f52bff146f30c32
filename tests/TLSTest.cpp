// TLS contexts made from the PEM files under data/tls (a CA, a server certificate for
// localhost and 127.0.0.1 signed by it, its key plain and encrypted, and an unrelated CA with
// its key), and TLS streams between two runtime tasks over a loopback connection.
#include <optional>

#include "StreamWriter.h"
#include "TLSStream.h"
#include "support/RuntimeEnvironment.h"
#include "support/StreamPeer.h"

namespace {

const auto* const sEnvironment = testing::AddGlobalTestEnvironment(new RuntimeEnvironment(2));

std::string DataFile(const char* name) {
    return std::string(CU_TEST_DATA_DIR "/tls/") + name;
}

std::unique_ptr<TLSContext> Make(TLSContext::Role role, const TLSOptions& options) {
    TLSError error;
    std::unique_ptr<TLSContext> context(TLSContext::Make(role, options, &error));
    EXPECT_TRUE(context != nullptr) << error.fCode << " " << error.fText;
    return context;
}

std::unique_ptr<TLSContext> ServerContext() {
    const std::string certificate = DataFile("server.pem"), key = DataFile("server-key.pem");
    return Make(TLSContext::Role::kServer, {.fCertificateFile = certificate.c_str(),
                                            .fKeyFile = key.c_str(),
                                            .fProtocols = "echo/1,x-later"});
}

// A loopback connection whose ends are runtime sockets, each with its task, TLS stream and
// buffered writer.
struct TLSLink {
    struct End {
        // No delivery and no run outlives the end: what a run uses goes after this. Runs
        // left over stop touching the socket first, for Dispose closes it.
        ~End() {
            fStopping = true;
            const auto quiet = [this] { return (fTask.GetEvents() & Task::kScheduledBit) == 0; };
            WaitUntil(quiet);
            fSocket.Dispose();
            WaitUntil(quiet);
        }
        // The task's body, skipped once the end is going.
        void Run(std::function<int64_t()> body) {
            fTask.fBody = [this, body](TaskProbe&) { return fStopping ? 0 : body(); };
        }
        std::atomic<bool> fStopping{false};
        TaskProbe fTask;
        ConnectableSocket fSocket{&fTask, Socket::kSocketNonBlocking | Socket::kSocketConnected};
        std::optional<TLSStream> fStream;
        std::optional<StreamWriter> fWriter;
        std::atomic<int32_t> fResult{-1};  // what ended its part; -1 while under way
    };

    TLSLink(TLSContext* server, TLSContext* client, const char* serverName) {
        Platform::SocketHandle clientHandle = Platform::kInvalidSocket, serverHandle = clientHandle;
        fMade = MakeStreamPair(&clientHandle, &serverHandle);
        fServer.fSocket.SetNonBlocking(serverHandle);
        fClient.fSocket.SetNonBlocking(clientHandle);
        // Small buffers, so that sockets fill and both streams wait for room.
        fServer.fSocket.SetSendBufferSize(16 * 1024);
        fClient.fSocket.SetSendBufferSize(16 * 1024);
        for (End* end : {&fServer, &fClient}) {
            end->fStream.emplace(end == &fServer ? server : client, &end->fSocket,
                                 end == &fServer ? nullptr : serverName);
            end->fWriter.emplace(&*end->fStream, 64 * 1024);
        }
    }
    void Start() {
        fServer.fTask.Signal(Task::kReadEvent);
        fClient.fTask.Signal(Task::kReadEvent);
    }

    bool fMade = false;
    End fServer, fClient;
};

// Each end runs its handshake to the end; the verifying client's outcome says why it failed.
TEST(TLSStream, ClientVerificationNamesTheFailureAndCanBeSwitchedOff) {
    struct Case {
        const char* fServerName;
        const char* fCAFile;
        bool fSkipVerification;
        int32_t fExpected;
        const char* fReason;
    };
    const std::unique_ptr<TLSContext> server = ServerContext();
    for (const Case& c : {Case{"localhost", "ca.pem", false, 0, ""},
                          {"127.0.0.1", "ca.pem", false, 0, ""},
                          {"wrong.example", "ca.pem", false, kErrTLSVerifyFailed, "hostname"},
                          {"localhost", "other-ca.pem", false, kErrTLSVerifyFailed, "issuer"},
                          {"wrong.example", "other-ca.pem", true, 0, ""}}) {
        SCOPED_TRACE(std::string(c.fServerName) + " " + c.fCAFile);
        const std::string caFile = DataFile(c.fCAFile);
        const std::unique_ptr<TLSContext> client =
            Make(TLSContext::Role::kClient,
                 {.fCAFile = caFile.c_str(), .fInsecureSkipVerification = c.fSkipVerification});
        TLSLink link(server.get(), client.get(), c.fServerName);
        ASSERT_TRUE(link.fMade);
        for (TLSLink::End* end : {&link.fServer, &link.fClient}) {
            end->Run([end]() -> int64_t {
                const int32_t result = end->fStream->Handshake();
                if (result == EAGAIN) return end->fStream->ArmEvent(kWatchRead), 0;
                end->fResult = result;
                return 0;
            });
        }
        link.Start();
        ASSERT_TRUE(WaitUntil([&] { return link.fClient.fResult.load() != -1; }));
        EXPECT_EQ(link.fClient.fResult.load(), c.fExpected) << link.fClient.fStream->Error().fText;
        EXPECT_NE(std::string(link.fClient.fStream->Error().fText).find(c.fReason),
                  std::string::npos);
        if (c.fExpected == 0) {
            EXPECT_TRUE(WaitUntil([&] { return link.fServer.fResult == 0; }));
        }
    }
}

// A mebibyte from the client through its writer, echoed back by the server through its own,
// a little at a time: every byte comes back in order, no task spins, the protocol is the one
// both know, and the client's close reaches the server as close_notify.
TEST(TLSStream, EchoesAMebibyteBetweenTwoTasksAndClosesWithCloseNotify) {
    const std::string payload = PatternBytes(1u << 20, 7);
    std::string echoed;
    std::atomic<bool> failed{false};
    size_t offered = 0;
    const std::unique_ptr<TLSContext> server = ServerContext();
    const std::string caFile = DataFile("ca.pem");
    const std::unique_ptr<TLSContext> client = Make(
        TLSContext::Role::kClient, {.fCAFile = caFile.c_str(), .fProtocols = "x-other,echo/1"});
    TLSLink link(server.get(), client.get(), "localhost");
    ASSERT_TRUE(link.fMade);
    TLSLink::End& echo = link.fServer;
    TLSLink::End& sender = link.fClient;
    echo.Run([&]() -> int64_t {
        const int32_t flushed = echo.fWriter->Flush();
        failed = failed || (flushed != 0 && flushed != EAGAIN);
        if (!echo.fWriter->IsDrained()) return 0;  // the writer armed for writing
        // One read a run, smaller than a record: the rest waits inside the stream, with the
        // socket perhaps empty, and arming must still bring the task back for it.
        char buffer[3000];
        uint32_t received = 0;
        const int32_t result = echo.fStream->Read(buffer, sizeof(buffer), &received);
        if (result != 0 && result != EAGAIN) return echo.fResult = result, 0;
        failed = failed || (result == 0 && echo.fWriter->Write(buffer, received) != 0);
        return echo.fWriter->IsDrained() ? (echo.fStream->ArmEvent(kWatchRead), 0) : 0;
    });
    sender.Run([&]() -> int64_t {
        if (echoed.size() == payload.size()) {
            const int32_t closed = sender.fStream->Close();
            if (closed == EAGAIN) return sender.fStream->ArmEvent(kWatchWrite), 0;
            return sender.fResult = closed, 0;
        }
        const int32_t flushed = sender.fWriter->Flush();
        failed = failed || (flushed != 0 && flushed != EAGAIN);
        for (uint32_t length;
             (length = std::min<size_t>(sender.fWriter->Room(), payload.size() - offered)) > 0;
             offered += length)
            failed = failed || sender.fWriter->Write(&payload[offered], length) != 0;
        char buffer[20000];  // more than a record
        uint32_t received = 0;
        int32_t result;
        while ((result = sender.fStream->Read(buffer, sizeof(buffer), &received)) == 0)
            echoed.append(buffer, received);
        if (result != EAGAIN) return sender.fResult = result, 0;
        if (echoed.size() == payload.size()) sender.fTask.Signal(Task::kReadEvent);  // to close
        const uint32_t kept = sender.fWriter->IsDrained() ? 0 : kWatchWrite;
        return sender.fStream->ArmEvent(kWatchRead | kept), 0;
    });
    link.Start();
    ASSERT_TRUE(WaitUntil([&] { return echo.fResult.load() != -1 || failed; }));
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(sender.fResult.load(), 0) << sender.fStream->Error().fText;
    EXPECT_EQ(echo.fResult.load(), kErrNotConnected) << echo.fStream->Error().fText;
    EXPECT_TRUE(echo.fStream->PeerClosed());
    EXPECT_TRUE(echoed == payload) << echoed.size() << " bytes echoed";
    EXPECT_LT(echo.fTask.fRuns + sender.fTask.fRuns, 100000) << "a task was signalled in a loop";
    for (const TLSLink::End* end : {&echo, &sender}) {
        StrPtrLen protocol = end->fStream->Protocol();
        EXPECT_EQ(Text(&protocol), "echo/1");
    }
}

// A file that is not there, a key of another certificate, and an encrypted key without its
// password each fail with their own number and say why.
TEST(TLSContext, LoadFailuresHaveTheirOwnNumberAndReason) {
    struct Case {
        const char* fCertificate;
        const char* fKey;
        const char* fPassword;
        int32_t fExpected;
        const char* fReason;
    };
    for (const Case& c :
         {Case{"missing.pem", "server-key.pem", nullptr, ENOENT, "No such file"},
          {"server.pem", "missing.pem", nullptr, ENOENT, "No such file"},
          {"server.pem", "other-key.pem", nullptr, kErrTLSKeyMismatch, "does not belong"},
          {"server.pem", "server-key-encrypted.pem", "wrong", kErrTLSBadPassword, "wrong"},
          {"server.pem", "server-key-encrypted.pem", nullptr, kErrTLSBadPassword, "no password"},
          {"server.pem", "server-key-encrypted.pem", "test-password", 0, ""}}) {
        SCOPED_TRACE(std::string(c.fKey) + " " + (c.fPassword ? c.fPassword : "-"));
        const std::string certificate = DataFile(c.fCertificate), key = DataFile(c.fKey);
        TLSError error;
        const std::unique_ptr<TLSContext> context(
            TLSContext::Make(TLSContext::Role::kServer,
                             {.fCertificateFile = certificate.c_str(),
                              .fKeyFile = key.c_str(),
                              .fKeyPassword = c.fPassword},
                             &error));
        EXPECT_EQ(error.fCode, c.fExpected) << error.fText;
        EXPECT_EQ(context == nullptr, c.fExpected != 0);
        EXPECT_NE(std::string(error.fText).find(c.fReason), std::string::npos) << error.fText;
    }
}

}  // namespace
