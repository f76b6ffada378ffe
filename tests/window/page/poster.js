// Loaded by every document except the contract page: any message from here is a failure.
window.webkit.messageHandlers.nimbra.postMessage({ action: 'intruder', from: location.href });
