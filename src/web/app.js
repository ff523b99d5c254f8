(function () { "use strict"; })();
