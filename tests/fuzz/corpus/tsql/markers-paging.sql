select x from T where a = ? and b = :B
order by x OFFSET ? ROWS FETCH NEXT ?12 ROWS ONLY