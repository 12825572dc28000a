// The boards page: the name server's list, asked of the gateway every two seconds.
'use strict';

async function refresh() {
  const status = document.getElementById('status');
  try {
    const data = await api('/api/boards');
    const body = document.querySelector('#boards tbody');
    body.replaceChildren(...data.boards.map(b => el('tr', { 'data-board': b.prefix },
      el('td', {}, el('a', { class: 'board-link', href: 'board.html?board=' + encodeURIComponent(b.prefix) }, b.prefix)),
      el('td', {}, b.host + ':' + b.port),
      el('td', {}, b.pid),
      el('td', { class: b.answers ? 'ok answers' : 'bad answers' }, b.answers ? 'yes' : 'no'),
      el('td', { class: 'services' }, b.services.map(s => s.replace(b.prefix + '/', '')).join(', ')))));
    document.getElementById('none').hidden = data.boards.length > 0;
    status.textContent = data.error ? 'name server: ' + data.error
                                    : 'updated ' + new Date().toLocaleTimeString();
    status.className = data.error ? 'error' : 'muted';
  } catch (e) {
    status.textContent = 'gateway: ' + e.message;
    status.className = 'error';
  }
}

refresh();
setInterval(refresh, 2000);
