#include <winsock2.h>

#include "NetTestUtil.h"

namespace nettest {

std::wstring ClosedPortBase() {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  bind(s, (sockaddr*)&a, sizeof a);
  getsockname(s, (sockaddr*)&a, &len);
  closesocket(s);
  WSACleanup();
  return L"127.0.0.1:" + std::to_wstring(ntohs(a.sin_port));
}

}  // namespace nettest
