// The strmd player page: plays a media object or a live channel as FLV from
// strmd's port (the same origin as this page) through mpegts.js, over HTTP
// or a WebSocket. strmd takes the web session from the PHPSESSID cookie, so
// no session id appears in an address.
//
// Query parameters: app (the site's application name, default "default"),
// object (a media object id) or channel and userid (a live channel and its
// speaker), transport (http or ws), start (ms, a media object's start).
// window.strmdState() reports what the page plays, for tests and for
// the web application's own scripts.
(function () {
  'use strict';

  const query = new URLSearchParams(location.search);
  if (window.mpegts) {
    mpegts.LoggingControl.enableVerbose = false;
    mpegts.LoggingControl.enableDebug = false;
  }
  const app = query.get('app') || 'default';
  const video = document.getElementById('video');
  const errorText = document.getElementById('error');
  const positionText = document.getElementById('position');

  // What plays now: kind "object" or "live", the name, the start in ms.
  let current = null;
  let player = null;
  let loadingComplete = false;
  let mediaArrived = false;
  let bufferedEnd = 0;
  let endedAt = -1;  // currentTime when the media ended

  // The address of a stream: the RTMP stream name, URL-encoded, under
  // /strmd/<app>/ with .flv; a start past 0 as ?start=<ms>.
  function StreamUrl(name, transport, startMs) {
    const scheme = transport === 'ws' ? (location.protocol === 'https:' ? 'wss:' : 'ws:') : location.protocol;
    let url = scheme + '//' + location.host + '/strmd/' + encodeURIComponent(app) + '/' +
      encodeURIComponent(name) + '.flv';
    if (startMs > 0) url += '?start=' + Math.round(startMs);
    return url;
  }

  function Describe(what) {
    return what.kind === 'live' ? 'Live channel ' + what.channel + ' of user ' + what.userid
                                : 'Media object ' + what.object;
  }

  function ShowError(text) {
    errorText.textContent = text;
    errorText.hidden = false;
  }

  function ClearError() {
    errorText.textContent = '';
    errorText.hidden = true;
  }

  // A readable text for what mpegts.js reports.
  function ErrorText(type, detail, info) {
    const subject = current ? Describe(current) : 'The stream';
    const code = info && typeof info.code === 'number' ? info.code : 0;
    if (code === 404) {
      return current && current.kind === 'live'
        ? subject + ' is not on air or cannot be watched (the server answered 404 Not Found).'
        : subject + ' cannot be played: it does not exist or may not be watched (the server answered 404 Not Found).';
    }
    if (code === 503) return 'The server is busy (503 Service Unavailable); try again in a moment.';
    if (code > 0) return subject + ' cannot be played: the server answered ' + code + (info.msg ? ' ' + info.msg : '') + '.';
    if (type === mpegts.ErrorTypes.NETWORK_ERROR) {
      return subject + ' cannot be played: the connection to the server failed' +
        (info && info.msg ? ' (' + info.msg + ')' : '') + '.';
    }
    return subject + ' cannot be played by this browser (' + detail + (info && info.msg ? ': ' + info.msg : '') + ').';
  }

  function Stop() {
    if (!player) return;
    player.pause();
    player.unload();
    player.detachMediaElement();
    player.destroy();
    player = null;
  }

  function Start(what) {
    Stop();
    ClearError();
    current = what;
    loadingComplete = false;
    mediaArrived = false;
    bufferedEnd = 0;
    endedAt = -1;
    if (!window.mpegts || !mpegts.isSupported()) {
      ShowError('This browser cannot play the stream: it has no Media Source Extensions.');
      return;
    }
    const name = what.kind === 'live' ? 'channel=' + what.channel + '&userid=' + what.userid
                                      : 'fileid=' + what.object;
    const live = what.kind === 'live';
    player = mpegts.createPlayer({
      type: 'flv',
      isLive: live,
      hasAudio: true,
      hasVideo: true,
      url: StreamUrl(name, what.transport, what.start),
    }, {
      enableWorker: false,
      isLive: live,
      // A live viewer stays near the edge; a recording is paced by the
      // server, so nothing is held back.
      liveBufferLatencyChasing: live,
      lazyLoad: false,
    });
    player.on(mpegts.Events.ERROR, function (type, detail, info) {
      if (what.transport === 'ws' && type === mpegts.ErrorTypes.NETWORK_ERROR && !mediaArrived) {
        // A browser does not say why an upgrade failed: the same name over
        // HTTP tells (404, 503), and the request is dropped once it did.
        ShowError(ErrorText(type, detail, info));
        const probe = new AbortController();
        fetch(StreamUrl(name, 'http', what.start), { signal: probe.signal, credentials: 'same-origin' })
          .then(function (response) {
            probe.abort();
            if (!response.ok && current === what) ShowError(ErrorText(type, detail, { code: response.status, msg: response.statusText }));
          })
          .catch(function () {});
        return;
      }
      ShowError(ErrorText(type, detail, info));
    });
    player.on(mpegts.Events.MEDIA_INFO, function () { mediaArrived = true; });
    player.on(mpegts.Events.LOADING_COMPLETE, function () {
      loadingComplete = true;
      if (video.buffered.length > 0) bufferedEnd = video.buffered.end(video.buffered.length - 1);
      if (!mediaArrived && errorText.hidden) ShowError(Describe(what) + ' cannot be played: the stream ended before any media arrived.');
    });
    player.attachMediaElement(video);
    player.load();
    const playing = player.play();
    if (playing && playing.catch) {
      playing.catch(function (e) {
        if (e && e.name === 'NotAllowedError') ShowError('Press Play to start (the browser blocked autoplay).');
      });
    }
  }

  function Transport() { return document.getElementById('transport').value; }

  function PlayObject(object, startMs) {
    Start({ kind: 'object', object: object, transport: Transport(), start: startMs || 0 });
  }

  function PlayLive(channel, userid) {
    Start({ kind: 'live', channel: channel, userid: userid, transport: Transport(), start: 0 });
  }

  function Position() {
    return current ? current.start / 1000 + video.currentTime : 0;
  }

  function ShowPosition() {
    const seconds = Position();
    const minutes = Math.floor(seconds / 60);
    const rest = (seconds - minutes * 60).toFixed(1).padStart(4, '0');
    positionText.textContent = (current && current.kind === 'live' ? 'live ' : '') + minutes + ':' + rest;
  }

  video.addEventListener('timeupdate', ShowPosition);
  video.addEventListener('ended', function () { endedAt = video.currentTime; });
  video.addEventListener('error', function () {
    if (errorText.hidden && video.error) ShowError('The browser could not decode the stream (' + (video.error.message || 'code ' + video.error.code) + ').');
  });

  document.getElementById('media').addEventListener('submit', function (event) {
    event.preventDefault();
    PlayObject(Number(document.getElementById('object').value), 0);
  });
  document.getElementById('live').addEventListener('submit', function (event) {
    event.preventDefault();
    PlayLive(Number(document.getElementById('channel').value), Number(document.getElementById('speaker').value));
  });
  document.getElementById('pause').addEventListener('click', function () { if (player) player.pause(); });
  document.getElementById('resume').addEventListener('click', function () { if (player) player.play(); });
  // A seek loads the object again from the new start: the server sends the
  // file from the key frame at or before it.
  document.getElementById('seek').addEventListener('click', function () {
    if (!current || current.kind !== 'object') return;
    PlayObject(current.object, Number(document.getElementById('seekTo').value) * 1000);
  });

  window.strmdState = function () {
    return {
      kind: current ? current.kind : '',
      transport: current ? current.transport : '',
      start: current ? current.start : 0,
      currentTime: video.currentTime,
      position: Position(),
      paused: video.paused,
      videoWidth: video.videoWidth,
      videoHeight: video.videoHeight,
      audioBytes: video.webkitAudioDecodedByteCount || 0,
      loadingComplete: loadingComplete,
      bufferedEnd: bufferedEnd,
      readyState: video.readyState,
      buffered: Array.from({ length: video.buffered.length },
                           (_, i) => [+video.buffered.start(i).toFixed(2), +video.buffered.end(i).toFixed(2)]),
      endedAt: endedAt,
      error: errorText.hidden ? '' : errorText.textContent,
    };
  };
  window.strmdPlayObject = PlayObject;
  window.strmdPlayLive = PlayLive;
  window.strmdPause = function () { if (player) player.pause(); };

  if (query.get('transport') === 'ws') document.getElementById('transport').value = 'ws';
  if (query.get('object')) {
    document.getElementById('object').value = query.get('object');
    PlayObject(Number(query.get('object')), Number(query.get('start') || 0));
  } else if (query.get('channel')) {
    document.getElementById('channel').value = query.get('channel');
    document.getElementById('speaker').value = query.get('userid') || '2';
    PlayLive(Number(query.get('channel')), Number(query.get('userid') || 2));
  }
})();
