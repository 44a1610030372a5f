// xsmp_manager <fifo>: an X session manager for one client at a time, on
// libSM's manager side, as a desktop's session manager speaks XSMP to an X11
// program. It prints the address for SESSION_MANAGER on its first line,
// listening on the local transport only. Then every line written to <fifo>
// is a message it sends to the client:
//   SaveYourself        a log-out's: global, shutdown, the client may interact
//   ShutdownCancelled
//   Die
// It prints "> <message>" for each message sent and "< <message> [field]"
// for each the client sends, the properties excepted, and "< gone" when
// the client's connection breaks. A request to interact is granted at
// once, as a desktop does while no other client is interacting. Ends on
// SIGTERM or SIGINT, and removes its socket.

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

SmsConn client = nullptr;
IceConn clientIce = nullptr;

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

void Forget() {
  if (client) SmsCleanUp(client);
  if (clientIce) {
    IceSetShutdownNegotiation(clientIce, False);
    IceCloseConnection(clientIce);
  }
  client = nullptr;
  clientIce = nullptr;
}

Status RegisterClient(SmsConn conn, SmPointer, char* previousId) {
  std::free(previousId);
  char* id = SmsGenerateClientID(conn);
  SmsRegisterClientReply(conn, id);
  std::free(id);
  Say("< RegisterClient");
  // A client new to the session is asked for its state at once (XSMP); its
  // answer tells the caller that the client is ready.
  SmsSaveYourself(conn, SmSaveLocal, False, SmInteractStyleNone, False);
  Say("> SaveYourself local");
  return 1;
}

void InteractRequest(SmsConn conn, SmPointer, int dialogType) {
  Say(dialogType == SmDialogError ? "< InteractRequest error" : "< InteractRequest normal");
  SmsInteract(conn);
  Say("> Interact");
}

void InteractDone(SmsConn, SmPointer, Bool cancelShutdown) {
  Say(cancelShutdown ? "< InteractDone cancel-shutdown" : "< InteractDone");
}

void SaveYourselfRequest(SmsConn, SmPointer, int, Bool, int, Bool, Bool) { Say("< SaveYourselfRequest"); }

void SaveYourselfPhase2Request(SmsConn conn, SmPointer) {
  Say("< SaveYourselfPhase2Request");
  SmsSaveYourselfPhase2(conn);
  Say("> SaveYourselfPhase2");
}

void SaveYourselfDone(SmsConn, SmPointer, Bool success) {
  Say(success ? "< SaveYourselfDone success" : "< SaveYourselfDone failure");
}

void CloseConnection(SmsConn, SmPointer, int count, char** reasons) {
  SmFreeReasons(count, reasons);
  Say("< CloseConnection");
  Forget();
}

void SetProperties(SmsConn, SmPointer, int count, SmProp** properties) {
  for (int i = 0; i < count; ++i) SmFreeProperty(properties[i]);
  std::free(static_cast<void*>(properties));
}

void DeleteProperties(SmsConn, SmPointer, int count, char** names) {
  for (int i = 0; i < count; ++i) std::free(names[i]);
  std::free(static_cast<void*>(names));
}

void GetProperties(SmsConn conn, SmPointer) { SmsReturnProperties(conn, 0, nullptr); }

Status NewClient(SmsConn conn, SmPointer, unsigned long* mask, SmsCallbacks* callbacks, char** failure) {
  if (client) {
    const char reason[] = "xsmp_manager takes one client";
    *failure = static_cast<char*>(std::malloc(sizeof reason));
    if (*failure) std::memcpy(*failure, reason, sizeof reason);
    return 0;
  }
  client = conn;
  *mask = SmsRegisterClientProcMask | SmsInteractRequestProcMask | SmsInteractDoneProcMask |
          SmsSaveYourselfRequestProcMask | SmsSaveYourselfP2RequestProcMask | SmsSaveYourselfDoneProcMask |
          SmsCloseConnectionProcMask | SmsSetPropertiesProcMask | SmsDeletePropertiesProcMask |
          SmsGetPropertiesProcMask;
  callbacks->register_client.callback = RegisterClient;
  callbacks->interact_request.callback = InteractRequest;
  callbacks->interact_done.callback = InteractDone;
  callbacks->save_yourself_request.callback = SaveYourselfRequest;
  callbacks->save_yourself_phase2_request.callback = SaveYourselfPhase2Request;
  callbacks->save_yourself_done.callback = SaveYourselfDone;
  callbacks->close_connection.callback = CloseConnection;
  callbacks->set_properties.callback = SetProperties;
  callbacks->delete_properties.callback = DeleteProperties;
  callbacks->get_properties.callback = GetProperties;
  return 1;
}

// No authentication data is set up, so ICE asks this about every client;
// only the local transport, a socket in /tmp/.ICE-unix, is let in.
Bool LocalOnly(char* hostName) { return std::strncmp(hostName, "local/", 6) == 0 ? True : False; }

// libICE's own handler ends the program when a connection breaks.
void ConnectionBroke(IceConn) {}

volatile std::sig_atomic_t ended = 0;
void End(int) { ended = 1; }

void Send(const std::string& message) {
  if (!client) {
    Say(("! no client for " + message).c_str());
    return;
  }
  if (message == "SaveYourself") {
    SmsSaveYourself(client, SmSaveGlobal, True, SmInteractStyleAny, False);
  } else if (message == "ShutdownCancelled") {
    SmsShutdownCancelled(client);
  } else if (message == "Die") {
    SmsDie(client);
  } else {
    Say(("! no such message: " + message).c_str());
    return;
  }
  IceFlush(clientIce);
  Say(("> " + message).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: xsmp_manager <fifo>\n");
    return 2;
  }
  // Opened for writing too, so that each writer's close is no end of input,
  // and the writers' open does not wait for a reader.
  const int commands = ::open(argv[1], O_RDWR | O_CLOEXEC);
  if (commands < 0) {
    std::perror(argv[1]);
    return 2;
  }
  // No SA_RESTART: the signal ends the wait in poll.
  struct sigaction end = {};
  end.sa_handler = End;
  sigaction(SIGTERM, &end, nullptr);
  sigaction(SIGINT, &end, nullptr);
  char error[256] = "";
  if (!SmsInitialize("xsmp_manager", "1.0", NewClient, nullptr, LocalOnly, sizeof error, error)) {
    std::fprintf(stderr, "xsmp_manager: %s\n", error);
    return 2;
  }
  IceSetIOErrorHandler(ConnectionBroke);
  int count = 0;
  IceListenObj* listeners = nullptr;
  if (!IceListenForConnections(&count, &listeners, sizeof error, error)) {
    std::fprintf(stderr, "xsmp_manager: %s\n", error);
    return 2;
  }
  std::vector<IceListenObj> local;
  std::string address;
  for (int i = 0; i < count; ++i) {
    char* name = IceGetListenConnectionString(listeners[i]);
    if (std::strncmp(name, "local/", 6) == 0) {
      IceSetHostBasedAuthProc(listeners[i], LocalOnly);
      local.push_back(listeners[i]);
      address += (address.empty() ? "" : ",") + std::string(name);
    }
    std::free(name);
  }
  if (local.empty()) {
    std::fprintf(stderr, "xsmp_manager: no local transport\n");
    return 2;
  }
  Say(address.c_str());

  std::string input;
  while (!ended) {
    std::vector<pollfd> watched{{commands, POLLIN, 0}};
    for (IceListenObj listener : local)
      watched.push_back({IceGetListenConnectionNumber(listener), POLLIN, 0});
    if (clientIce) watched.push_back({IceConnectionNumber(clientIce), POLLIN, 0});
    if (::poll(watched.data(), watched.size(), -1) < 0) continue;

    if (watched[0].revents) {
      char chunk[256];
      const ssize_t n = ::read(commands, chunk, sizeof chunk);
      if (n <= 0) break;
      input.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = input.find('\n')) != std::string::npos; input.erase(0, end + 1))
        Send(input.substr(0, end));
    }
    for (std::size_t i = 0; i < local.size(); ++i) {
      if (!watched[i + 1].revents) continue;
      IceAcceptStatus accepted;
      IceConn ice = IceAcceptConnection(local[i], &accepted);
      if (!ice || accepted != IceAcceptSuccess) continue;
      // The connection's set-up and then XSMP's: the client's protocol
      // set-up makes it our client (NewClient).
      IceConnectStatus status;
      while ((status = IceConnectionStatus(ice)) == IceConnectPending)
        if (IceProcessMessages(ice, nullptr, nullptr) == IceProcessMessagesIOError) break;
      if (status != IceConnectAccepted) {
        IceCloseConnection(ice);
        continue;
      }
      if (!clientIce) {
        clientIce = ice;
      } else {
        // One client at a time: a second one is cut off at once rather than
        // left waiting, unpolled, for an answer to its registration.
        IceSetShutdownNegotiation(ice, False);
        IceCloseConnection(ice);
      }
    }
    if (clientIce && watched.back().fd == IceConnectionNumber(clientIce) && watched.back().revents &&
        IceProcessMessages(clientIce, nullptr, nullptr) == IceProcessMessagesIOError) {
      Say("< gone");
      Forget();
    }
  }
  Forget();
  IceFreeListenObjs(count, listeners);
  return 0;
}
