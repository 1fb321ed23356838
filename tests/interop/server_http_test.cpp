// The server's HTTP layer against curl on 127.0.0.1: the default page, keep-alive reuse,
// oversized bodies, Basic authorisation, files with their types, traversal attempts and
// uploads.
#include "server/kbzWebSocket_Server.h"
#include "tests/support/kbzTestProcess.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>

using namespace kbz;
using namespace kbz::test;
using namespace std::chrono_literals;

namespace
{

// A server on 127.0.0.1 with a system-chosen port.
struct CurlServer
{
    TkbzWSHTTPServer server;
    int port = 0;

    CurlServer()
    {
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
    }
    ~CurlServer() { server.SetActive(false); }
    void Start()
    {
        server.SetActive(true);
        port = server.GetBoundPort();
    }
    std::string URL(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
};

// curl's output lines (its -w texts, a -o - body), or a failure.
std::vector<std::string> Curl(const std::vector<std::string>& args)
{
    TestProcess p;
    std::vector<std::string> argv = {"curl", "-s", "--max-time", "10"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!p.Start(argv))
    {
        ADD_FAILURE() << "curl did not start";
        return {};
    }
    p.WaitForExit(20s);
    return p.Lines();
}

std::string Temp(const std::string& name)
{
    return (std::filesystem::temp_directory_path() /
            ("kbz_http_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

#define NEED_CURL()                                                                                \
    if (!HaveProgram("curl"))                                                                      \
    GTEST_SKIP() << "curl is not installed"

} // namespace

TEST(ServerHTTPCurl, DefaultPageAndKeepAlive)
{
    NEED_CURL();
    CurlServer cs;
    cs.server.KeepAlive = true;
    cs.Start();
    EXPECT_EQ(Curl({cs.URL("/")}),
              std::vector<std::string>{"<HTML><BODY><B>200 OK</B></BODY></HTML>"});
    // Two requests, one connection: the second reuses it.
    EXPECT_EQ(Curl({"-o", "/dev/null", "-o", "/dev/null", "-w", "%{http_code} %{num_connects}\\n",
                    cs.URL("/a"), cs.URL("/b")}),
              (std::vector<std::string>{"200 1", "200 0"}));
}

TEST(ServerHTTPCurl, OversizedBodyIs413)
{
    NEED_CURL();
    CurlServer cs;
    cs.server.MaxRequestBody = 1000;
    cs.Start();
    const std::string file = Temp("big.bin");
    std::ofstream(file, std::ios::binary) << std::string(100000, 'b');
    for (const char* expect : {"Expect:", "Expect: 100-continue"})
    {
        SCOPED_TRACE(expect);
        EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}\\n", "-H", expect, "--data-binary",
                        "@" + file, cs.URL("/up")}),
                  std::vector<std::string>{"413"});
    }
    std::filesystem::remove(file);
}

TEST(ServerHTTPCurl, BasicChallengeAndCredentials)
{
    NEED_CURL();
    CurlServer cs;
    cs.server.KeepAlive = true;
    cs.server.Authentication().Enabled = true;
    cs.server.Authentication().Basic.Enabled = true;
    cs.server.Authentication().AuthUsers.Add("user=pass word");
    cs.Start();
    const std::vector<std::string> refused =
        Curl({"-D", "-", "-o", "/dev/null", "-w", "%{http_code}\\n", cs.URL("/")});
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused.back(), "401");
    EXPECT_NE(std::find(refused.begin(), refused.end(),
                        "WWW-Authenticate: Basic realm=\"" + std::string(kbzServerSoftware) + "\""),
              refused.end())
        << testing::PrintToString(refused);
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}\\n", "-u", "user:wrong", cs.URL("/")}),
              std::vector<std::string>{"401"});
    // Each request on the kept connection shows its credentials.
    EXPECT_EQ(Curl({"-o", "/dev/null", "-o", "/dev/null", "-w", "%{http_code} %{num_connects}\\n",
                    "-u", "user:pass word", cs.URL("/a"), cs.URL("/b")}),
              (std::vector<std::string>{"200 1", "200 0"}));
}

namespace
{

// A folder to serve, a secret beside it and a link from inside to it.
struct ServedFolder
{
    std::filesystem::path base = Temp("root");
    std::filesystem::path root = base / "www";
    ServedFolder()
    {
        std::filesystem::remove_all(base);
        std::filesystem::create_directories(root / "sub");
        std::ofstream(base / "secret.txt") << "secret";
        std::filesystem::create_symlink(base / "secret.txt", root / "link.txt");
    }
    ~ServedFolder() { std::filesystem::remove_all(base); }
    void Write(const std::string& name, const std::string& content) const
    {
        std::ofstream(root / name, std::ios::binary) << content;
    }
};

std::string Slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
    {
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return s;
}

} // namespace

TEST(ServerHTTPCurl, FilesWithTheirTypes)
{
    NEED_CURL();
    ServedFolder f;
    f.Write("index.html", "<p>home</p>");
    f.Write("app.js", "let x = 1;");
    f.Write("sub/style.css", "p{}");
    f.Write("pic.png", "\x89PNG");
    f.Write("data.bin", "xyz");
    const std::string big = Pattern(300000); // goes out in blocks
    f.Write("big.txt", big);
    CurlServer cs;
    cs.server.KeepAlive = true;
    cs.server.DocumentRoot = f.root.string() + "/";
    cs.server.Charset = "utf-8";
    cs.Start();
    struct Case
    {
        const char* path;
        std::string type;
        std::size_t size;
    };
    const Case cases[] = {
        {"/", "text/html; charset=utf-8", 11},
        {"/app.js", "text/javascript; charset=utf-8", 10},
        {"/sub/style.css", "text/css; charset=utf-8", 3},
        {"/pic.png", "image/png", 4},
        {"/data.bin", "application/octet-stream", 3},
        {"/big.txt", "text/plain; charset=utf-8", big.size()},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code} %{content_type} %{size_download}\\n",
                        cs.URL(c.path)}),
                  std::vector<std::string>{"200 " + c.type + " " + std::to_string(c.size)});
    }
    const std::string copy = Temp("copy.txt");
    EXPECT_EQ(Curl({"-o", copy, "-w", "%{http_code}\\n", cs.URL("/big.txt")}),
              std::vector<std::string>{"200"});
    std::ifstream in(copy, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == big);
    std::filesystem::remove(copy);
}

TEST(ServerHTTPCurl, PathsLeavingTheFolderAre404)
{
    NEED_CURL();
    ServedFolder f;
    f.Write("a.txt", "inside");
    CurlServer cs;
    cs.server.DocumentRoot = f.root.string();
    // As a file server answers what it does not have.
    cs.server.OnCommandGet = [](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&,
                                TkbzWSHTTPResponseInfo& rs) { rs.ResponseNo = 404; };
    cs.Start();
    const char* attempts[] = {
        "/../secret.txt",
        "/sub/../../secret.txt",
        "/%2e%2e/secret.txt",
        "/%2E%2E/secret.txt",
        "/.%2e/secret.txt",
        "/sub%2f..%2f..%2fsecret.txt",
        "/..%2fsecret.txt",
        "/..%5csecret.txt",
        "/..\\secret.txt",
        "/a.txt%00.html",
        "/link.txt",
        "/%252e%252e/secret.txt",
        "/sub/..%00/secret.txt",
        "/./a.txt",
    };
    for (const char* path : attempts)
    {
        SCOPED_TRACE(path);
        EXPECT_EQ(Curl({"--path-as-is", "-o", "/dev/null", "-w", "%{http_code}\\n", cs.URL(path)}),
                  std::vector<std::string>{"404"});
    }
    EXPECT_EQ(Curl({"--path-as-is", cs.URL("/a.txt")}), std::vector<std::string>{"inside"});
}

TEST(ServerHTTPCurl, UploadsWithCurlF)
{
    NEED_CURL();
    ServedFolder f;
    const std::filesystem::path save = f.base / "uploads";
    std::filesystem::create_directories(save);
    CurlServer cs;
    cs.server.HTTPUploadFiles().StreamType = TwsPostStreamType::pstFileStream;
    cs.server.HTTPUploadFiles().SaveDirectory = save.string();
    std::mutex lock;
    std::vector<std::string> fields;
    cs.server.OnHTTPUploadReadInput = [&](const TkbzWSConnectionServerPtr&, const std::string& name,
                                          const std::string& value) {
        std::lock_guard guard(lock);
        fields.push_back(name + "=" + value);
    };
    cs.Start();
    // The file's closing delimiter lands on the decoder's 100,000-byte block boundary for one
    // of these sizes (curl's part head is about 150 bytes).
    std::vector<std::string> sources;
    for (std::size_t size = 99780; size <= 99880; size += 10)
    {
        const std::string name = "f" + std::to_string(size) + ".bin";
        f.Write(name, Pattern(size));
        sources.push_back(name);
    }
    for (const std::string& name : sources)
    {
        SCOPED_TRACE(name);
        EXPECT_EQ(
            Curl({"-o", "/dev/null", "-w", "%{http_code}\\n", "-F",
                  "file=@" + (f.root / name).string(), "-F", "note=hi there", cs.URL("/upload")}),
            std::vector<std::string>{"200"});
        EXPECT_TRUE(Slurp(save / name) == Slurp(f.root / name));
    }
    // The same name again: saved beside the first, never over it.
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}\\n", "-F",
                    "file=@" + (f.root / sources[0]).string() + ";filename=../../" + sources[0],
                    cs.URL("/upload")}),
              std::vector<std::string>{"200"});
    EXPECT_TRUE(std::filesystem::exists(save / ("f99780-1.bin")));
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(save))
    {
        EXPECT_NE(entry.path().extension(), ".kbz_ps");
        ++count;
    }
    EXPECT_EQ(count, sources.size() + 1);
    std::lock_guard guard(lock);
    EXPECT_EQ(fields.size(), sources.size());
    EXPECT_EQ(fields.front(), "note=hi there");
}
