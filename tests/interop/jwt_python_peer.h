// python3-jwt as a long-running peer (tests/interop/peers/jwt_peer.py): signs and verifies
// tokens on request, one JSON line each way.
#pragma once

#include "tests/support/kbzTestProcess.h"

#include "json/kbzJSON.h"
#include <optional>
#include <string>

namespace kbz::test::jwt
{

inline const std::string kPython = "/usr/bin/python3";

inline bool HavePythonJWT()
{
    static const bool present = [] {
        TestProcess probe;
        return HaveProgram(kPython) && probe.Start({kPython, "-c", "import jwt, cryptography"}) &&
               probe.WaitForExit(30s) == 0;
    }();
    return present;
}

class PythonJWT
{
public:
    bool Start()
    {
        return FProcess.Start({kPython, SourcePath("tests/interop/peers/jwt_peer.py")}) &&
               FProcess.WaitForLine([](const std::string& l) { return l == "ready"; }, 30s);
    }

    // The answer document of one request; null when the peer did not answer in time.
    IkbzJSON Ask(const std::string& request)
    {
        const std::size_t from = FProcess.Lines().size();
        FProcess.WriteLine(request);
        const auto at = FProcess.WaitForLine([](const std::string&) { return true; }, 30s, from);
        if (!at)
        {
            return nullptr;
        }
        auto doc = std::make_shared<TkbzJSON>();
        doc->Read(FProcess.Lines()[*at]);
        return doc;
    }

    // The key member of a request: a PEM file path or a secret.
    static std::string KeyMember(const std::string& keyFile, const std::string& secret)
    {
        return keyFile.empty() ? "\"key\":\"" + kbzJSONEscapeText(secret) + "\""
                               : "\"keyfile\":\"" + kbzJSONEscapeText(keyFile) + "\"";
    }

    // The token python3-jwt signed, or empty.
    std::string Sign(const std::string& alg, const std::string& keyMember,
                     const std::string& claimsJSON)
    {
        const IkbzJSON doc = Ask(R"({"op":"sign","alg":")" + alg + "\"," + keyMember +
                                 ",\"claims\":" + claimsJSON + "}");
        const auto token = doc ? doc->GetNode("token") : nullptr;
        return token ? token->GetRawValue() : std::string();
    }

    // The claims python3-jwt accepted the token with, or the error it raised ("error: ...").
    IkbzJSON Verify(const std::string& alg, const std::string& keyMember, const std::string& token,
                    std::string& error)
    {
        const IkbzJSON doc = Ask(R"({"op":"verify","alg":")" + alg + "\"," + keyMember +
                                 ",\"token\":\"" + token + "\"}");
        if (!doc)
        {
            error = "no answer";
            return nullptr;
        }
        if (const auto e = doc->GetNode("error"))
        {
            error = kbzJSONDecodeString(e->GetRawValue());
            return nullptr;
        }
        const auto claims = doc->GetNode("claims");
        return claims ? claims->GetJSONObject() : nullptr;
    }

private:
    TestProcess FProcess;
};

} // namespace kbz::test::jwt
