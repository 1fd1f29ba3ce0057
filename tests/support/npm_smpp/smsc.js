'use strict';
// An SMSC built on the npm `smpp` package, so the gateway's upstream side can
// be bound to an SMPP implementation that shares no code with it.
//
//   npm ci            (once, in this folder; installs the pinned smpp package)
//   node smsc.js <port> [auto-receipt]
//
// Binds anyone (receiver, transmitter, transceiver) on 127.0.0.1:<port>; 0 lets
// the kernel choose. The first line printed is "port <n>". Every submit_sm and
// data_sm is answered at once with a fresh message id; with "auto-receipt" a
// DELIVRD receipt follows each accepted submit that asks for one.
//
// Events printed, one per line: "bound <system_id> <bind command>",
// "submit <message_id> <source> <destination>", "deliver_sm_resp <sequence>
// <status>", "closed <system_id>".
// Commands read from standard input, one per line:
//   receipt <message_id> [stat]         receipt for an earlier submit
//   mo <source> <destination> <text...>  mobile-originated message
//   unbind                               unbind every session
//   quit                                 stop
// Receipts and MO go to the most recently bound receiver or transceiver.
const smpp = require('smpp');
const readline = require('readline');

const port = Number(process.argv[2] || 0);
const autoReceipt = process.argv.includes('auto-receipt');

let nextId = 1;
const sessions = [];      // bound sessions able to receive, oldest first
const submitted = new Map(); // message id -> { source, destination }

// A test runner that stops reading our output has finished with us.
process.stdout.on('error', () => process.exit(0));

function say(line) {
  process.stdout.write(line + '\n');
}

function yymmddhhmm(date) {
  const two = (n) => String(n).padStart(2, '0');
  return two(date.getUTCFullYear() % 100) + two(date.getUTCMonth() + 1) + two(date.getUTCDate()) +
      two(date.getUTCHours()) + two(date.getUTCMinutes());
}

function receiver() {
  for (let i = sessions.length - 1; i >= 0; --i) {
    const s = sessions[i];
    if (s.canReceive && s.session.socket.writable && !s.session.socket.destroyed) return s.session;
  }
  return null;
}

function sendReceipt(messageId, stat) {
  const session = receiver();
  if (!session) {
    say('error no receiver for receipt ' + messageId);
    return;
  }
  const known = submitted.get(messageId) || { source: '', destination: '' };
  const now = yymmddhhmm(new Date());
  const text = 'id:' + messageId + ' sub:001 dlvrd:001 submit date:' + now + ' done date:' +
      now + ' stat:' + stat + ' err:000 text:';
  session.deliver_sm({
    source_addr: known.destination,
    destination_addr: known.source,
    esm_class: 0x04,
    short_message: text,
    receipted_message_id: messageId,
    message_state: stat === 'DELIVRD' ? 2 : 5,
  });
}

function sendMO(source, destination, text) {
  const session = receiver();
  if (!session) {
    say('error no receiver for mo');
    return;
  }
  session.deliver_sm({
    source_addr_ton: 1, source_addr_npi: 1, source_addr: source,
    dest_addr_ton: 1, dest_addr_npi: 1, destination_addr: destination,
    short_message: text,
  });
}

const server = smpp.createServer((session) => {
  let systemId = '';
  const bind = (command, canReceive) => (pdu) => {
    systemId = pdu.system_id;
    session.send(pdu.response({ system_id: 'NpmSMSC' }));
    sessions.push({ session, canReceive });
    say('bound ' + systemId + ' ' + command);
  };
  session.on('bind_transceiver', bind('bind_transceiver', true));
  session.on('bind_receiver', bind('bind_receiver', true));
  session.on('bind_transmitter', bind('bind_transmitter', false));
  const submit = (pdu) => {
    const messageId = 'npm-' + nextId++;
    submitted.set(messageId, { source: pdu.source_addr, destination: pdu.destination_addr });
    session.send(pdu.response({ message_id: messageId }));
    say('submit ' + messageId + ' ' + pdu.source_addr + ' ' + pdu.destination_addr);
    if (autoReceipt && (pdu.registered_delivery & 0x01)) sendReceipt(messageId, 'DELIVRD');
  };
  session.on('submit_sm', submit);
  session.on('data_sm', submit);
  session.on('enquire_link', (pdu) => session.send(pdu.response()));
  session.on('unbind', (pdu) => {
    session.send(pdu.response());
    session.close();
  });
  session.on('deliver_sm_resp', (pdu) => {
    say('deliver_sm_resp ' + pdu.sequence_number + ' ' + pdu.command_status);
  });
  session.on('close', () => {
    const at = sessions.findIndex((s) => s.session === session);
    if (at >= 0) sessions.splice(at, 1);
    say('closed ' + systemId);
  });
  // A peer reset ends in 'close' as well; a write racing it must not stop the SMSC.
  session.on('error', () => {});
  session.socket.on('error', () => {});
});

server.listen(port, '127.0.0.1', () => say('port ' + server.address().port));

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const words = line.trim().split(/\s+/);
  switch (words[0]) {
    case 'receipt': sendReceipt(words[1], words[2] || 'DELIVRD'); break;
    case 'mo': sendMO(words[1], words[2], words.slice(3).join(' ')); break;
    case 'unbind': for (const s of sessions) s.session.unbind(); break;
    case 'quit': process.exit(0); break;
    case '': break;
    default: say('error unknown command ' + words[0]);
  }
}).on('close', () => process.exit(0));
