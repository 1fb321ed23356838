// A program of another project that uses the installed library: it connects to the
// WebSocket server at URL, writes one text and prints the answer.   kbzConsumer URL
#include <iostream>
#include <kbzWebSocket.h>

int main(int argc, char** argv)
{
    kbz::TkbzWebSocketClient client;
    client.SetURL(argc > 1 ? argv[1] : "ws://127.0.0.1:9001/");
    if (!client.Connect(10000)) // ms
        return 1;
    const std::string answer = client.WriteAndWaitData("Hello from another project", 10000);
    std::cout << answer << '\n';
    return answer.empty() ? 1 : 0;
}
