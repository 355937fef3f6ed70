// Reads one e-mail message with the npm package mailparser, a MIME parser that is none of ours, and prints what
// a mail reader would show of it.
//
//   node read-message.js FILE
//
// FILE holds the message bytes alone (the data part of a file the server stored). One "name hex" line per field,
// the value's UTF-8 bytes in hex so that line breaks and non-ASCII text pass unchanged:
//   date-header  the Date field as written, empty when there is none
//   date         the instant it stands for, as ISO 8601 in UTC, empty when it does not parse
//   subject      the decoded subject
//   from, to, cc the addresses, each "name/address", joined by "|"
//   text         the decoded plain text body
// Exits with 1, and the error on standard error, when the message cannot be read.
'use strict';

const fs = require('fs');
const { simpleParser } = require('mailparser');

function addresses(field) {
    if (!field) return '';
    const groups = Array.isArray(field) ? field : [field];
    return groups
        .flatMap((group) => group.value)
        .map((address) => `${address.name}/${address.address}`)
        .join('|');
}

async function main() {
    if (process.argv.length !== 3) throw new Error('usage: node read-message.js FILE');
    const message = await simpleParser(fs.readFileSync(process.argv[2]));
    const dateHeader = message.headerLines.find((line) => line.key === 'date');
    // Without a parsable Date field the parser puts in a time of its own: only a field that parses counts.
    const date = dateHeader ? new Date(dateHeader.line.replace(/^date:\s*/i, '')) : null;
    const fields = {
        'date-header': dateHeader ? dateHeader.line.replace(/^date:\s*/i, '') : '',
        date: date && !Number.isNaN(date.getTime()) ? date.toISOString() : '',
        subject: message.subject || '',
        from: addresses(message.from),
        to: addresses(message.to),
        cc: addresses(message.cc),
        text: message.text || '',
    };
    for (const [name, value] of Object.entries(fields)) {
        process.stdout.write(`${name} ${Buffer.from(value, 'utf8').toString('hex')}\n`);
    }
}

main().catch((error) => {
    process.stderr.write(`${error.stack || error}\n`);
    process.exit(1);
});
