-- One order with 3 items, posted on every request (keep-alive off); at the
-- end one line with the order count, latency percentiles and errors.
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Connection"] = "close"
local item = function(n)
  return '{"idproduto":"' .. n .. '","unmed":"","idempresa":"1","idusuario":"1",' ..
         '"numcodbarrasusado":"789' .. n .. '","descricaoitem":"Item ' .. n .. '",' ..
         '"quantidade":"2","vlunitario":"10,5","vltotal":"21"}'
end
wrk.body = '{"idempresa":"1","idusuario":"1","dtemissao":"10/12/2026 10:30",' ..
  '"dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026","idcliente":15,' ..
  '"vltotalpedido":"63","observacao":"bench","itens":[' ..
  item(10) .. ',' .. item(11) .. ',' .. item(12) .. ']}'

done = function(summary, latency, requests)
  local ms = function(p) return latency:percentile(p) / 1000 end
  local e = summary.errors
  io.write(string.format(
    "orders %d  p50 %.1f ms  p99 %.1f ms  p99.9 %.1f ms  max %.1f ms  " ..
    "non-2xx %d  socket errors %d\n",
    summary.requests, ms(50), ms(99), ms(99.9), latency.max / 1000,
    e.status, e.connect + e.read + e.write + e.timeout))
end
