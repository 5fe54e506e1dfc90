"use strict";
// The program opens this page with the reason it found in the address: #reason=...
const match = /(?:^#|&)reason=([^&]*)/.exec(location.hash);
if (match) {
  document.getElementById("reason").textContent = decodeURIComponent(match[1]);
}
