/* A Windows console program for the end-to-end test under Wine: connects to
   127.0.0.1 on the port given as its argument, says hello and keeps the
   connection open for at most the given number of seconds.

   Wine's server makes the connection; the program's own process holds the
   socket once it reads or writes on it, which the hello does. */
#include <winsock2.h>
#include <windows.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  WSADATA wsa;
  SOCKET s;
  struct sockaddr_in a;
  int seconds;
  if (argc != 3 || WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 2;
  s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 2;
  ZeroMemory(&a, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((u_short)atoi(argv[1]));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, (struct sockaddr*)&a, sizeof a) != 0) return 3;
  if (send(s, "hello", 5, 0) != 5) return 4;
  seconds = atoi(argv[2]);
  Sleep((DWORD)seconds * 1000);
  closesocket(s);
  WSACleanup();
  return 0;
}
